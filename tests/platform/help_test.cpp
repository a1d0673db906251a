#include "platform/help.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace platform {
namespace {

void WritePage(const QString& folder, const QString& name, const QString& title,
               const QString& body) {
  QFile f(folder + "/" + name);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QString("<html><head><title>%1</title></head><body>%2</body></html>")
              .arg(title, body)
              .toUtf8());
}

// A small bundle "test.chm" in a temporary folder.
class HelpTest : public ::testing::Test {
 protected:
  HelpTest() : help_({dir_.path()}) {
    bundle_ = dir_.path() + "/test.chm";
    QDir().mkpath(bundle_);
    WritePage(bundle_, "contents.htm", "Contents", "<a href='one.htm'>One</a>");
    WritePage(bundle_, "index.htm", "Index", "apples pears");
    WritePage(bundle_, "one.htm", "First topic", "Apples and pears grow here.");
    WritePage(bundle_, "two.htm", "Second topic", "Only apples.");
    help_.Register("test.chm");
  }
  QTemporaryDir dir_;
  QString bundle_;
  HelpSystem help_;
};

TEST_F(HelpTest, ResolvesBundleNames) {
  EXPECT_EQ(help_.Resolve("test.chm"), bundle_);
  EXPECT_EQ(help_.Resolve(bundle_), bundle_);
  EXPECT_EQ(help_.Resolve("other.chm"), QString());
  EXPECT_EQ(help_.Resolve(""), QString());
}

TEST_F(HelpTest, ShowsTopicContentsAndIndex) {
  EXPECT_TRUE(help_.ShowTopic("test.chm", "one.htm"));
  EXPECT_EQ(help_.viewer()->current_page(), "one.htm");
  EXPECT_TRUE(help_.viewer()->browser()->toPlainText().contains("Apples and pears"));
  EXPECT_TRUE(help_.ShowContents("test.chm"));
  EXPECT_EQ(help_.viewer()->current_page(), "contents.htm");
  EXPECT_TRUE(help_.ShowIndex("test.chm"));
  EXPECT_EQ(help_.viewer()->current_page(), "index.htm");
  EXPECT_FALSE(help_.ShowTopic("test.chm", "absent.htm"));
  EXPECT_EQ(help_.viewer()->current_page(), QString());
}

TEST_F(HelpTest, SearchListsTopicsHoldingEveryWord) {
  ASSERT_TRUE(help_.ShowSearch("test.chm"));
  EXPECT_EQ(help_.viewer()->current_page(), "search");
  EXPECT_EQ(help_.viewer()->Search("apples"), (QStringList{"one.htm", "two.htm"}));
  EXPECT_EQ(help_.viewer()->Search("PEARS apples"), QStringList{"one.htm"});
  EXPECT_EQ(help_.viewer()->Search("plums"), QStringList());
  EXPECT_EQ(help_.viewer()->Search(""), QStringList());
}

TEST(HelpMissing, ShowsNothingAndCarriesOn) {
  QTemporaryDir empty;
  HelpSystem help({empty.path()});
  help.Register("ravelin.chm");
  EXPECT_FALSE(help.ShowTopic("ravelin.chm", "MainMenu.htm"));
  EXPECT_FALSE(help.ShowContents("ravelin.chm"));
  EXPECT_FALSE(help.ShowIndex("ravelin.chm"));
  EXPECT_FALSE(help.ShowSearch("ravelin.chm"));
  EXPECT_EQ(help.viewer()->current_page(), QString());
  EXPECT_TRUE(help.viewer()->browser()->toPlainText().isEmpty());
  bool reported = false;
  for (QLabel* label : help.viewer()->findChildren<QLabel*>())
    reported |= label->isVisible() && label->text().contains("ravelin.chm");
  EXPECT_TRUE(reported);
}

TEST_F(HelpTest, F1ShowsControlTopicThenWindowTopicThenContents) {
  QWidget window;
  auto* plain = new QLineEdit;
  auto* special = new QLineEdit;
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(plain);
  layout->addWidget(special);
  HelpHandler handler(help_, &window, "test.chm", "one.htm");
  handler.SetControlTopic(special, "two.htm");
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

  special->setFocus();
  QTest::keyClick(special, Qt::Key_F1);
  EXPECT_EQ(help_.viewer()->current_page(), "two.htm");

  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  plain->setFocus();
  QTest::keyClick(plain, Qt::Key_F1);
  EXPECT_EQ(help_.viewer()->current_page(), "one.htm");

  handler.SetTopic(QString());
  QTest::keyClick(plain, Qt::Key_F1);
  EXPECT_EQ(help_.viewer()->current_page(), "contents.htm");
}

}  // namespace
}  // namespace platform
