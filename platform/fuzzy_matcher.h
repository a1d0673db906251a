// FuzzyMatcher: approximate text matching for locators and look-ups.
//
// Match(query, text) scores from 0 (no likeness) to 100 (the query found
// whole). The score rewards the query's characters found in order in the
// text, more for runs of adjacent characters and for a start at a word
// boundary, and less the more of the text lies between them.
//
// Options:
//   kIgnoreCase  (option 1) compare without regard to case;
//   kWordOnly    (option 2) the query must start at the beginning of a word.
// The program sets option 1 on and option 2 off at start-up and changes
// nothing later. Process-wide, GUI thread only.
#pragma once

#include <QString>

namespace platform {

class FuzzyMatcher {
 public:
  enum Option { kIgnoreCase = 1, kWordOnly = 2 };

  void Init();
  void SetOption(Option option, bool on);
  bool option(Option option) const;
  // Releases what Init took; a released matcher scores everything 0.
  void Kill();
  bool initialised() const { return initialised_; }

  int Match(const QString& query, const QString& text) const;

 private:
  bool initialised_ = false;
  bool ignore_case_ = true;
  bool word_only_ = false;
};

}  // namespace platform
