#include "platform/error_manager.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "support/recording_presenter.h"

namespace platform {
namespace {

using testing_support::PresenterLog;
using testing_support::RecordingPresenter;

TEST(ExpandMessageText, FillsPlaceholdersInOnePass) {
  MessageArgs args;
  args.file = "items";
  args.field = "ITE:Priority";
  args.message = "0 .. 99";
  args.error_text = "Access Denied";
  args.key = "ITE:ByItem";
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"The value of %Field must be in range %Message.",
       "The value of ITE:Priority must be in range 0 .. 99."},
      {"Error: (%ErrorText) creating %File.", "Error: (Access Denied) creating items."},
      {"Key %Key", "Key ITE:ByItem"},
      {"a|b||c", "a\nb\n\nc"},
      {"100% sure, %Unknown stays, trailing %", "100% sure, %Unknown stays, trailing %"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExpandMessageText(c.text, args), QString(c.expected)) << c.text;
}

TEST(ExpandMessageText, ValuesAreShownLiterally) {
  // A value holding a placeholder or a bar must not be expanded again.
  MessageArgs args;
  args.file = "%Field|x";
  args.field = "WRONG";
  EXPECT_EQ(ExpandMessageText("File: %File", args), QString("File: %Field|x"));
}

TEST(StandardMessages, UseOnlyKnownPlaceholders) {
  const QRegularExpression placeholder("%[A-Za-z]+");
  const QStringList known = {"%File", "%Field", "%Message", "%ErrorText", "%Key"};
  for (const MessageDefinition& m : StandardMessages()) {
    auto it = placeholder.globalMatch(QString::fromUtf8(m.text));
    while (it.hasNext()) EXPECT_TRUE(known.contains(it.next().captured())) << m.number;
  }
}

class ErrorManagerTest : public ::testing::Test {
 protected:
  ErrorManagerTest()
      : log_(std::make_shared<PresenterLog>()),
        errors_(std::make_unique<RecordingPresenter>(log_)) {
    errors_.SetHaltHandler([this] { ++halts_; });
  }
  std::shared_ptr<PresenterLog> log_;
  ErrorManager errors_;
  int halts_ = 0;
};

TEST_F(ErrorManagerTest, QuestionOffersYesAndNo) {
  log_->answers = {kButtonYes, kButtonNo};
  EXPECT_EQ(errors_.Throw(11), Level::kBenign);
  EXPECT_EQ(errors_.Throw(11), Level::kCancel);
  ASSERT_EQ(log_->shown.size(), 2u);
  const ShownMessage& m = log_->shown[0];
  EXPECT_EQ(m.title, "Confirm Delete");
  EXPECT_EQ(m.text, "Are you sure you want to delete the highlighted record?");
  EXPECT_EQ(m.buttons, unsigned(kButtonYes | kButtonNo));
  EXPECT_EQ(m.default_button, kButtonYes);
  EXPECT_EQ(m.icon, MessageIcon::kExclamation);
}

TEST_F(ErrorManagerTest, NoticeHasOneOkAndAnswersNotify) {
  MessageArgs args;
  args.file = "items";
  args.error_text = "Creates Duplicate Key";
  EXPECT_EQ(errors_.Throw(4, args), Level::kNotify);
  const ShownMessage& m = log_->shown.back();
  EXPECT_EQ(m.title, "Record Insert Error");
  EXPECT_EQ(m.text,
            "An error was experienced during the creation of a record.\nFile: items\n"
            "Error: Creates Duplicate Key.");
  EXPECT_EQ(m.buttons, unsigned(kButtonOk));
  EXPECT_EQ(m.icon, MessageIcon::kInformation);
  EXPECT_EQ(halts_, 0);
}

TEST_F(ErrorManagerTest, FatalAddsEndingAndHalts) {
  MessageArgs args;
  args.file = "CheckLists";
  args.error_text = "Access Denied";
  EXPECT_EQ(errors_.Throw(26, args), Level::kFatal);
  EXPECT_EQ(log_->shown.back().title, "File Access Error");
  EXPECT_EQ(log_->shown.back().text,
            "File CheckLists could not be opened.  Error: Access Denied."
            "  Press OK to end this application");
  EXPECT_EQ(log_->shown.back().buttons, unsigned(kButtonOk));
  EXPECT_EQ(halts_, 1);
}

TEST_F(ErrorManagerTest, CallerButtonsUseExclamationAndReturnThePress) {
  log_->answers = {kButtonCancel};
  EXPECT_EQ(errors_.Ask(37, {}, kButtonYes | kButtonNo | kButtonCancel, kButtonCancel),
            kButtonCancel);
  const ShownMessage& m = log_->shown.back();
  EXPECT_EQ(m.title, "Record Update Error");
  EXPECT_EQ(m.default_button, kButtonCancel);
  EXPECT_EQ(m.icon, MessageIcon::kExclamation);
}

TEST_F(ErrorManagerTest, UnknownNumberIsReportedNotIgnored) {
  EXPECT_EQ(errors_.Throw(9999), Level::kProgram);
  ASSERT_EQ(log_->shown.size(), 1u);
  EXPECT_TRUE(log_->shown[0].text.contains("9999"));
}

TEST_F(ErrorManagerTest, HistoryNamesTheRunningProcedure) {
  errors_.Announce("Main");
  errors_.Announce("Listitems");
  errors_.Announce("Listitems");
  errors_.Throw(18);
  errors_.Withdraw("Listitems");
  EXPECT_EQ(errors_.procedures(), (QList<QString>{"Main", "Listitems"}));
  errors_.Withdraw("Listitems");
  errors_.Throw(18);
  ASSERT_EQ(errors_.history().size(), 2u);
  EXPECT_EQ(errors_.history()[0].procedure, "Listitems");
  EXPECT_EQ(errors_.history()[1].procedure, "Main");
  EXPECT_EQ(errors_.history()[1].number, 18);
}

}  // namespace
}  // namespace platform
