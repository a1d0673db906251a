#include "platform/drag_setting.h"

#include <QApplication>
#include <QMdiSubWindow>

namespace platform {
namespace {
// The session's value of the desktop switch (a desktop setting, so
// process-wide by nature).
int32_t g_show_contents = 1;
}  // namespace

int32_t SessionDragSetting::Read() const { return g_show_contents; }

void SessionDragSetting::Write(int32_t value) {
  g_show_contents = value ? 1 : 0;
  for (QWidget* w : QApplication::allWidgets())
    if (auto* child = qobject_cast<QMdiSubWindow*>(w)) Apply(child);
}

void SessionDragSetting::Apply(QMdiSubWindow* window) {
  const bool rubber_band = g_show_contents == 0;
  window->setOption(QMdiSubWindow::RubberBandMove, rubber_band);
  window->setOption(QMdiSubWindow::RubberBandResize, rubber_band);
}

DragSettingGuard::DragSettingGuard(DragSetting& setting)
    : setting_(setting), found_(setting.Read()) {
  if (found_ == 1) setting_.Write(0);
}

DragSettingGuard::~DragSettingGuard() { Restore(); }

void DragSettingGuard::Restore() {
  if (restored_) return;
  restored_ = true;
  if (found_ == 1) setting_.Write(1);
}

}  // namespace platform
