// A message presenter for tests: records every message shown and answers
// with queued buttons (OK, or the default button, when the queue is empty).
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "platform/error_manager.h"

namespace testing_support {

struct PresenterLog {
  std::vector<platform::ShownMessage> shown;
  std::deque<platform::MessageButton> answers;
};

class RecordingPresenter : public platform::MessagePresenter {
 public:
  explicit RecordingPresenter(std::shared_ptr<PresenterLog> log) : log_(std::move(log)) {}
  platform::MessageButton Present(const platform::ShownMessage& message) override {
    log_->shown.push_back(message);
    if (log_->answers.empty()) return message.default_button;
    const platform::MessageButton answer = log_->answers.front();
    log_->answers.pop_front();
    return answer;
  }

 private:
  std::shared_ptr<PresenterLog> log_;
};

}  // namespace testing_support
