#include "app/core/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <string>
#include <vector>

#include "app/core/thread_context.h"
#include "platform/drag_setting.h"
#include "platform/fuzzy_matcher.h"
#include "platform/help.h"
#include "platform/settings_manager.h"
#include "support/recording_presenter.h"
#include "support/temp_config.h"

namespace ravelin {
namespace {

// The desktop switch, reporting its writes into the start-up trace.
class TracedDragSetting : public platform::DragSetting {
 public:
  TracedDragSetting(int32_t value, std::vector<std::string>& trace)
      : value_(value), trace_(trace) {}
  int32_t Read() const override { return value_; }
  void Write(int32_t value) override {
    value_ = value;
    trace_.push_back("drag=" + std::to_string(value));
  }

 private:
  int32_t value_;
  std::vector<std::string>& trace_;
};

class StartupTest : public ::testing::Test {
 protected:
  ProgramParts Parts(platform::DragSetting* drag) {
    ProgramParts parts;
    parts.drag = drag;
    parts.presenter = std::make_unique<testing_support::RecordingPresenter>(log_);
    parts.help_folders = {};
    parts.trace = [this](const char* step) { trace_.push_back(step); };
    return parts;
  }
  testing_support::TempConfig config_;
  std::shared_ptr<testing_support::PresenterLog> log_ =
      std::make_shared<testing_support::PresenterLog>();
  std::vector<std::string> trace_;
};

TEST_F(StartupTest, OrderWithDragSettingOn) {
  TracedDragSetting drag(1, trace_);
  Program program(Parts(&drag));
  int drag_while_running = -1;
  const int result = program.Run([&](ThreadContext& main) {
    trace_.push_back("main frame");
    drag_while_running = drag.Read();
    // Everything the frame relies on is in place.
    const platform::GlobalServices s = program.services();
    EXPECT_NE(s.errors, nullptr);
    EXPECT_EQ(s.help->help_file(), "ravelin.chm");
    EXPECT_TRUE(s.fuzzy->initialised());
    EXPECT_TRUE(s.fuzzy->option(platform::FuzzyMatcher::kIgnoreCase));
    EXPECT_FALSE(s.fuzzy->option(platform::FuzzyMatcher::kWordOnly));
    EXPECT_EQ(s.settings->path(), config_.path("ravelin"));
    EXPECT_NE(main.dictionary(), nullptr);
    EXPECT_EQ(main.services().settings, s.settings);
    EXPECT_EQ(main.procedure(), "Main");
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(drag_while_running, 0);
  EXPECT_EQ(drag.Read(), 1);
  const std::vector<std::string> expected = {
      "runtime",     "help file",        "error manager", "fuzzy matcher",
      "settings manager", "dictionary",  "icon",          "drag=0",
      "drag setting", "main frame",      "main frame ended", "drag=1",
      "drag setting restored", "settings manager released", "fuzzy matcher released"};
  EXPECT_EQ(trace_, expected);
  // Releasing the settings manager wrote its bookkeeping section.
  EXPECT_TRUE(config_.Read("ravelin").contains("[__Dont_Touch_Me__]\nSectors="));
}

TEST_F(StartupTest, DragSettingOffIsLeftAlone) {
  TracedDragSetting drag(0, trace_);
  Program program(Parts(&drag));
  program.Run([](ThreadContext&) { return 0; });
  EXPECT_EQ(drag.Read(), 0);
  for (const std::string& step : trace_) EXPECT_NE(step.rfind("drag=", 0), 0u) << step;
}

TEST_F(StartupTest, FatalMessageEndsTheRunButShutDownStillRuns) {
  TracedDragSetting drag(1, trace_);
  Program program(Parts(&drag));
  const int result = program.Run([&](ThreadContext& main) {
    QTimer::singleShot(0, [&] {
      platform::MessageArgs args;
      args.file = "items";
      args.error_text = "Access Denied";
      main.services().errors->Throw(26, args);
    });
    QEventLoop loop;  // stands in for the frame's event loop
    return loop.exec();
  });
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(program.halted());
  ASSERT_EQ(log_->shown.size(), 1u);
  EXPECT_TRUE(log_->shown[0].text.endsWith("  Press OK to end this application"));
  EXPECT_EQ(drag.Read(), 1);
  EXPECT_EQ(trace_.back(), "fuzzy matcher released");
}

}  // namespace
}  // namespace ravelin
