#include "platform/window_context.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "platform/error_manager.h"
#include "platform/help.h"
#include "platform/settings_manager.h"
#include "support/recording_presenter.h"
#include "support/temp_config.h"

namespace platform {
namespace {

class WindowContextTest : public ::testing::Test {
 protected:
  WindowContextTest() : settings_("ravelin"), help_(QStringList{}) {
    services_.errors = &errors_;
    services_.settings = &settings_;
    services_.help = &help_;
  }
  testing_support::TempConfig config_;
  ErrorManager errors_{std::make_unique<testing_support::RecordingPresenter>(
      std::make_shared<testing_support::PresenterLog>())};
  SettingsManager settings_;
  HelpSystem help_;
  GlobalServices services_;
};

TEST_F(WindowContextTest, StartClearsCodesAndTakingARequestClearsThem) {
  WindowContext context("Listitems", 50000, services_);
  context.set_delete_when_ended(false);
  context.codes().request = request::kChangeRecord;
  context.codes().response = response::kRequestCompleted;
  context.codes().navigation = 7;
  context.Start();
  EXPECT_EQ(context.codes().request, request::kNone);
  EXPECT_EQ(context.codes().navigation, 0);

  context.codes().request = request::kDeleteRecord;
  context.codes().response = response::kRequestCancelled;
  EXPECT_EQ(context.TakeRequest(), request::kDeleteRecord);
  EXPECT_EQ(context.codes().request, request::kNone);
  EXPECT_EQ(context.codes().response, response::kNone);
  EXPECT_EQ(context.stack_size(), 50000);
  EXPECT_EQ(WindowContext("x", 1000, services_).stack_size(), WindowContext::kMinimumStack);
}

TEST_F(WindowContextTest, WindowLifeCycleAndContextEnd) {
  config_.Write("ravelin", "[Win]\nMaximize=No\nXPos=31\nYPos=32\n");
  QPointer<WindowContext> context = new WindowContext("Win", 25000, services_);
  QSignalSpy ended(context.data(), &WindowContext::ended);
  context->Start();

  auto* window = new QWidget;
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->resize(200, 100);
  context->OpenWindow(window, "Win", false, QString());
  EXPECT_EQ(window->pos(), QPoint(31, 32));
  EXPECT_EQ(errors_.procedures(), QList<QString>{"Win"});
  context->ProcedureReturned();
  EXPECT_EQ(ended.count(), 0);  // its window is still open

  window->show();
  window->move(60, 70);
  window->close();
  EXPECT_EQ(config_.Read("ravelin"),
            "[Win]\nMaximize=No\nXPos=60\nYPos=70\nMinimize=No\n");
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the window
  EXPECT_TRUE(errors_.procedures().isEmpty());
  EXPECT_EQ(ended.count(), 1);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the context
  EXPECT_TRUE(context.isNull());
}

TEST_F(WindowContextTest, ProcedureWithoutWindowEndsAtOnce) {
  QPointer<WindowContext> context = new WindowContext("about", 25000, services_);
  QSignalSpy ended(context.data(), &WindowContext::ended);
  context->Start();
  context->ProcedureReturned();
  EXPECT_EQ(ended.count(), 1);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(context.isNull());
}

}  // namespace
}  // namespace platform
