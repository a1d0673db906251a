// SettingsManager: window places and other settings in one private profile.
//
// Each window that keeps its place has a section named after its procedure
// with these entries (values are whole numbers in pixels; positions are the
// window's frame position, relative to the screen for a top-level window and
// to the frame's client area for a child window):
//
//   Maximize  "Yes"/"No", always written. Any other value (or none) means
//             nothing at all is restored.
//   Minimize  "Yes"/"No", always written; "Yes" minimises after everything
//             else has been applied.
//   XPos/YPos written when the window is neither maximised nor minimised,
//             deleted otherwise; applied after a maximised window that should
//             not be has been restored to normal.
//   Width/    as XPos, and only for a resizable window; applied only to a
//   Height    resizable window and only when present.
//
// A section without XPos/YPos leaves the window at the place it was given
// before the restore (its designed, centred place). Entries that are not
// whole numbers are ignored, and a place that would put the window wholly off
// every screen (or outside its parent) is not applied: a screen that has gone
// away must not leave the window out of reach.
//
// Bookkeeping: on Kill() the manager writes its own section
// "__Dont_Touch_Me__" with the entry "Sectors" (empty: no further sections of
// its own exist). Nothing else is put into the file by the manager.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace platform {

class SettingsManager {
 public:
  inline static constexpr const char* kBookkeepingSection = "__Dont_Touch_Me__";
  inline static constexpr const char* kBookkeepingEntry = "Sectors";

  // Opens the manager on a private-profile name ("ravelin").
  explicit SettingsManager(const QString& profile_name);
  ~SettingsManager();
  SettingsManager(const SettingsManager&) = delete;
  SettingsManager& operator=(const SettingsManager&) = delete;

  const QString& profile_name() const { return profile_; }
  QString path() const;

  std::optional<QString> Fetch(const QString& section, const QString& entry) const;
  void Update(const QString& section, const QString& entry, const QString& value);
  void Delete(const QString& section, const QString& entry);

  // Applies the saved place and state of `window` from `section`.
  void FetchWindow(const QString& section, QWidget* window, bool resizable) const;
  // Saves the place and state of `window` into `section`.
  void UpdateWindow(const QString& section, const QWidget* window, bool resizable);

  // Releases the manager: writes the bookkeeping section. Called once at
  // shut-down.
  void Kill();

 private:
  QString profile_;
  bool killed_ = false;
};

}  // namespace platform
