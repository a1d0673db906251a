// DragSetting: the desktop switch that shows window contents while a window
// is dragged (1 on, 0 off).
//
// The program reads it at start-up, switches it off while it runs, and puts
// it back afterwards (DragSettingGuard). Tests put a fake behind the
// interface.
//
// SessionDragSetting is the platform's own switch. The desktops we run on
// offer no portable setting of this kind, so it lives in the process and
// starts on. Writing it "broadcasts" the value: every MDI child window of the
// application moves and resizes with a rubber band while it is off, and with
// its contents while it is on. Because it is never written to disk, a
// program that is killed while the setting is off cannot leave the desktop
// with it off for good.
#pragma once

#include <cstdint>

class QMdiSubWindow;

namespace platform {

class DragSetting {
 public:
  virtual ~DragSetting() = default;
  virtual int32_t Read() const = 0;
  // Sets the value, writes it to the user profile and broadcasts the change.
  virtual void Write(int32_t value) = 0;
};

class SessionDragSetting : public DragSetting {
 public:
  int32_t Read() const override;
  void Write(int32_t value) override;

  // Gives one child window the current behaviour (for windows opened after
  // the last broadcast).
  static void Apply(QMdiSubWindow* window);
};

// Switches the setting off for its lifetime when it was on; leaves it alone
// when it was off. The value found at start is kept in `found()`.
class DragSettingGuard {
 public:
  explicit DragSettingGuard(DragSetting& setting);
  ~DragSettingGuard();  // calls Restore()
  DragSettingGuard(const DragSettingGuard&) = delete;
  DragSettingGuard& operator=(const DragSettingGuard&) = delete;

  int32_t found() const { return found_; }
  // Puts the setting back on if it was on at start. Runs once.
  void Restore();

 private:
  DragSetting& setting_;
  int32_t found_;
  bool restored_ = false;
};

}  // namespace platform
