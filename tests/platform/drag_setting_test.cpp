#include "platform/drag_setting.h"

#include <gtest/gtest.h>

#include <QMdiArea>
#include <QMdiSubWindow>
#include <vector>

namespace platform {
namespace {

// The desktop switch, as a test sees it: its value and every write.
class FakeDragSetting : public DragSetting {
 public:
  explicit FakeDragSetting(int32_t value) : value_(value) {}
  int32_t Read() const override { return value_; }
  void Write(int32_t value) override {
    value_ = value;
    writes.push_back(value);
  }
  std::vector<int32_t> writes;

 private:
  int32_t value_;
};

TEST(DragSettingGuard, SwitchesOffWhileAliveAndBackOnAfter) {
  FakeDragSetting on(1);
  {
    DragSettingGuard guard(on);
    EXPECT_EQ(guard.found(), 1);
    EXPECT_EQ(on.Read(), 0);
    guard.Restore();
    EXPECT_EQ(on.Read(), 1);
  }
  EXPECT_EQ(on.writes, (std::vector<int32_t>{0, 1}));

  FakeDragSetting off(0);
  { DragSettingGuard guard(off); }
  EXPECT_TRUE(off.writes.empty());
}

TEST(SessionDragSetting, BroadcastReachesChildWindows) {
  QMdiArea area;
  QMdiSubWindow* child = area.addSubWindow(new QWidget);
  SessionDragSetting setting;
  const int32_t was = setting.Read();
  setting.Write(0);
  EXPECT_TRUE(child->testOption(QMdiSubWindow::RubberBandMove));
  EXPECT_TRUE(child->testOption(QMdiSubWindow::RubberBandResize));
  setting.Write(1);
  EXPECT_FALSE(child->testOption(QMdiSubWindow::RubberBandMove));
  setting.Write(was);
}

}  // namespace
}  // namespace platform
