#include "platform/fuzzy_matcher.h"

#include <algorithm>

namespace platform {

void FuzzyMatcher::Init() {
  initialised_ = true;
  ignore_case_ = true;
  word_only_ = false;
}

void FuzzyMatcher::SetOption(Option option, bool on) {
  if (option == kIgnoreCase) ignore_case_ = on;
  if (option == kWordOnly) word_only_ = on;
}

bool FuzzyMatcher::option(Option option) const {
  return option == kIgnoreCase ? ignore_case_ : word_only_;
}

void FuzzyMatcher::Kill() { initialised_ = false; }

int FuzzyMatcher::Match(const QString& query_in, const QString& text_in) const {
  if (!initialised_) return 0;
  const QString query = ignore_case_ ? query_in.toCaseFolded() : query_in;
  const QString text = ignore_case_ ? text_in.toCaseFolded() : text_in;
  if (query.isEmpty()) return 100;
  if (text.isEmpty()) return 0;

  const auto word_start = [&](qsizetype i) {
    return i == 0 || !text.at(i - 1).isLetterOrNumber();
  };
  // The whole query as a substring scores best.
  for (qsizetype at = text.indexOf(query); at >= 0; at = text.indexOf(query, at + 1)) {
    if (!word_only_ || word_start(at)) return 100;
  }

  // Otherwise the characters in order: points for each found, more for a
  // character following the previous one directly.
  qsizetype pos = 0, previous = -2, first = -1;
  int points = 0;
  for (const QChar c : query) {
    const qsizetype at = text.indexOf(c, pos);
    if (at < 0) return 0;
    if (first < 0) {
      first = at;
      if (word_only_ && !word_start(at)) return 0;
    }
    points += (at == previous + 1) ? 3 : 1;
    if (word_start(at)) points += 1;
    previous = at;
    pos = at + 1;
  }
  const qsizetype span = previous - first + 1;
  const int best = static_cast<int>(query.size()) * 4;
  int score = 99 * points / best;
  score -= static_cast<int>(std::min<qsizetype>(30, span - query.size()));
  return std::clamp(score, 1, 99);
}

}  // namespace platform
