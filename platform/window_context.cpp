#include "platform/window_context.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <algorithm>

#include "platform/error_manager.h"
#include "platform/help.h"
#include "platform/settings_manager.h"

namespace platform {

WindowContext::WindowContext(QString procedure, int stack_size,
                             GlobalServices services, WindowHost* host)
    : procedure_(std::move(procedure)),
      stack_size_(std::max(stack_size, kMinimumStack)),
      services_(services),
      host_(host) {}

WindowContext::~WindowContext() = default;

void WindowContext::Start() {
  codes_.Clear();
  OnStart();
}

void WindowContext::ProcedureReturned() {
  returned_ = true;
  if (open_windows_ == 0) End();
}

uint8_t WindowContext::TakeRequest() {
  const uint8_t taken = codes_.request;
  codes_.request = request::kNone;
  codes_.response = response::kNone;
  return taken;
}

HelpHandler* WindowContext::OpenWindow(QWidget* window, const QString& section,
                                       bool resizable, const QString& help_topic) {
  if (services_.errors) services_.errors->Announce(procedure_);
  // A window without an icon of its own shows the application's default
  // icon, which start-up set to the program icon: Qt falls back by itself.
  if (services_.settings && !section.isEmpty())
    services_.settings->FetchWindow(section, window, resizable);
  placements_.insert(window, {section, resizable});
  window->installEventFilter(this);
  ++open_windows_;
  connect(window, &QObject::destroyed, this, [this, window] {
    placements_.remove(window);
    if (services_.errors) services_.errors->Withdraw(procedure_);
    WindowGone();
  });
  HelpHandler* handler = nullptr;
  if (services_.help)
    handler = new HelpHandler(*services_.help, window, services_.help->help_file(),
                              help_topic);
  return handler;
}

bool WindowContext::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close) {
    auto it = placements_.find(watched);
    auto* window = qobject_cast<QWidget*>(watched);
    if (it != placements_.end() && window && window->isVisible() &&
        services_.settings && !it->section.isEmpty())
      services_.settings->UpdateWindow(it->section, window, it->resizable);
  }
  return QObject::eventFilter(watched, event);
}

void WindowContext::WindowGone() {
  --open_windows_;
  if (open_windows_ == 0 && returned_) End();
}

void WindowContext::End() {
  if (ended_) return;
  ended_ = true;
  OnEnd();
  emit ended();
  if (delete_when_ended_) deleteLater();
}

}  // namespace platform
