#include "app/frame/main_frame.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTest>
#include <QTimer>

#include "app/core/thread_context.h"
#include "app/frame/help_bundle.h"
#include "platform/dialog_units.h"
#include "platform/help.h"
#include "platform/settings_manager.h"
#include "support/recording_presenter.h"
#include "support/temp_config.h"

namespace ravelin {
namespace {

// The frame on a main context with real services: settings in a temporary
// folder, the compiled-in help bundle, messages recorded.
class MainFrameTest : public ::testing::Test {
 protected:
  MainFrameTest()
      : errors_(std::make_unique<testing_support::RecordingPresenter>(log_)),
        settings_("ravelin"),
        help_(HelpFolders()),
        main_("Main", ThreadContext::kDefaultStack, {&errors_, &settings_, &help_, nullptr},
              nullptr, true) {
    help_.Register("ravelin.chm");
    main_.set_delete_when_ended(false);
    main_.Start();
    main_.SetUpDictionary();
  }
  ~MainFrameTest() override {
    for (QWidget* w : QApplication::topLevelWidgets()) w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  static QStringList HelpFolders() {
    InitHelpBundle();
    return {":/help"};
  }
  // Opens a frame as the Main procedure does, without running a loop.
  std::unique_ptr<MainFrame> OpenFrame() {
    auto frame = std::make_unique<MainFrame>(main_);
    main_.OpenWindow(frame.get(), "Main", false, "MainMenu.htm");
    frame->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    return frame;
  }
  QStringList ChildTitles(MainFrame& frame) {
    QStringList titles;
    for (QMdiSubWindow* w : frame.mdi_area()->subWindowList(QMdiArea::CreationOrder))
      titles << w->windowTitle();
    return titles;
  }

  testing_support::TempConfig config_;
  std::shared_ptr<testing_support::PresenterLog> log_ =
      std::make_shared<testing_support::PresenterLog>();
  platform::ErrorManager errors_;
  platform::SettingsManager settings_;
  platform::HelpSystem help_;
  ThreadContext main_;
};

TEST_F(MainFrameTest, MenuTextsOrderAndMessages) {
  auto frame = OpenFrame();
  QStringList seen;
  for (QAction* top : frame->menuBar()->actions()) {
    seen << top->text();
    for (QAction* item : top->menu()->actions())
      seen << (item->isSeparator() ? QString("----")
                                   : item->text() + " | " + item->statusTip());
  }
  const QStringList expected = {
      "&File",
      "&Print Setup ... | Setup printer",
      "----",
      "E&xit | Exit this application",
      "&Edit",
      "Cu&t | Cut Selection To Clipboard",
      "&Copy | Copy Selection To Clipboard",
      "&Paste | Paste From Clipboard",
      "&Ravelin File",
      "Speed Add New Checklist | ",
      "Add, Change or Delete Items | Browse items",
      "Delete Entire Checklist | ",
      "&Print",
      "Print  Ravelin with note space | ",
      "Print  Checklist without note space | ",
      "Print Pocket List | ",
      "&Window",
      "T&ile | Arrange multiple opened windows",
      "&Cascade | Arrange multiple opened windows",
      "&Arrange Icons | Arrange the icons for minimized windows",
      "&Help",
      "&Contents | View the contents of the help file",
      "&Search for Help On... | Search for help on a subject",
      "&How to Use Help | Provides general instructions on using help",
      "About | ",
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(frame->action(-11)->text(), "Add, Change or Delete Items");
  EXPECT_EQ(frame->action(-27)->text(), "About");
}

TEST_F(MainFrameTest, HoveredItemMessageGoesToFirstStatusSection) {
  auto frame = OpenFrame();
  QMenu* menu = frame->action(-9)->menu();
  QMenuBar* bar = frame->menuBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(frame->action(-9)).center());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
  QTest::mouseMove(menu, menu->actionGeometry(frame->action(-11)).center());
  EXPECT_EQ(frame->status_section(0)->text(), "Browse items");
  EXPECT_TRUE(frame->statusBar()->currentMessage().isEmpty());
  QTest::mouseMove(menu, menu->actionGeometry(frame->action(-10)).center());
  EXPECT_EQ(frame->status_section(0)->text(), "");
  menu->setActiveAction(frame->action(-12));
  EXPECT_EQ(frame->status_section(0)->text(), "");
  menu->setActiveAction(frame->action(-11));
  EXPECT_EQ(frame->status_section(0)->text(), "Browse items");
  menu->hide();
}

TEST_F(MainFrameTest, FrameDesign) {
  auto frame = OpenFrame();
  const platform::DialogUnits units(frame->font());
  EXPECT_EQ(frame->windowTitle(), "Ravelin");
  EXPECT_EQ(frame->size(), units.ToPixels(371, 266));
  EXPECT_EQ(frame->minimumSize(), frame->maximumSize());  // fixed border
  EXPECT_FALSE(frame->windowIcon().isNull());
  EXPECT_EQ(frame->status_section(1)->width(), units.ToPixelsX(80));
  EXPECT_EQ(frame->status_section(2)->width(), units.ToPixelsX(120));
  EXPECT_EQ(frame->status_section(3)->width(), units.ToPixelsX(45));
  EXPECT_GT(frame->status_section(0)->width(), 0);
  EXPECT_EQ(errors_.procedures(), QList<QString>{"Main"});
}

TEST_F(MainFrameTest, WindowCommandsStartTheirProcedures) {
  auto frame = OpenFrame();
  for (int number : {-10, -11, -11, -12, -14, -15, -16}) frame->action(number)->trigger();
  EXPECT_EQ(ChildTitles(*frame),
            (QStringList{"speedadd", "Listitems", "Listitems", "checklistbrws", "selectlist",
                         "selectlist3", "selectlist1"}));
  // Two "Add, Change or Delete Items" windows are independent.
  auto children = frame->mdi_area()->subWindowList(QMdiArea::CreationOrder);
  children[1]->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(ChildTitles(*frame).count("Listitems"), 1);
  EXPECT_EQ(errors_.procedures().count("Listitems"), 1);
}

TEST_F(MainFrameTest, ClosedMaximisedReopensMaximised) {
  {
    auto frame = OpenFrame();
    frame->showMaximized();
    EXPECT_NE(frame->maximumSize(), frame->minimumSize());  // may fill the screen
    frame->close();
  }
  EXPECT_TRUE(config_.Read("ravelin").contains("Maximize=Yes"));
  EXPECT_FALSE(config_.Read("ravelin").contains("XPos"));
  auto frame = OpenFrame();
  EXPECT_TRUE(frame->isMaximized());
}

TEST_F(MainFrameTest, ClosedAtAPlaceReopensThereAtDesignSize) {
  QSize design;
  {
    auto frame = OpenFrame();
    design = frame->size();
    frame->move(21, 34);
    frame->close();
  }
  auto frame = OpenFrame();
  EXPECT_FALSE(frame->isMaximized());
  EXPECT_EQ(frame->pos(), QPoint(21, 34));
  EXPECT_EQ(frame->size(), design);
}

TEST_F(MainFrameTest, UnknownMaximizeEntryLeavesTheDesignedPlace) {
  QPoint centred;
  {
    auto frame = std::make_unique<MainFrame>(main_);
    centred = frame->pos();
  }
  config_.Write("ravelin", "[Main]\nMaximize=Perhaps\nMinimize=No\nXPos=5\nYPos=6\n");
  auto frame = OpenFrame();
  EXPECT_EQ(frame->pos(), centred);
  EXPECT_FALSE(frame->isMaximized());
}

TEST_F(MainFrameTest, ClosingTheFrameClosesChildrenAndSavesTheirPlaces) {
  auto frame = OpenFrame();
  frame->action(-27)->trigger();  // About keeps its place in "about"
  frame->action(-11)->trigger();
  ASSERT_EQ(frame->mdi_area()->subWindowList().size(), 1);
  frame->action(-4)->trigger();  // Exit
  EXPECT_FALSE(frame->isVisible());
  EXPECT_TRUE(frame->mdi_area()->subWindowList().isEmpty());
  const QString saved = config_.Read("ravelin");
  EXPECT_TRUE(saved.contains("[Main]"));
  EXPECT_TRUE(saved.contains("[about]"));
}

TEST_F(MainFrameTest, HelpMenuAndF1) {
  auto frame = OpenFrame();
  platform::HelpViewer* viewer = help_.viewer();
  frame->action(-22)->trigger();
  EXPECT_EQ(viewer->current_page(), "index.htm");
  frame->action(-24)->trigger();
  EXPECT_EQ(viewer->current_page(), "contents.htm");
  frame->action(-23)->trigger();
  EXPECT_EQ(viewer->current_page(), "search");
  EXPECT_FALSE(viewer->Search("checklist").isEmpty());

  frame->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
  QTest::keyClick(frame.get(), Qt::Key_F1);
  EXPECT_EQ(viewer->current_page(), "MainMenu.htm");
  EXPECT_TRUE(viewer->browser()->toPlainText().contains("Ravelin"));
}

TEST_F(MainFrameTest, EveryTopicPageOfTheBundleExists) {
  for (const char* page : {"MainMenu.htm", "updatecars.htm", "BrowseCars.htm",
                           "delete_entire_checklist.htm", "reports.htm", "contents.htm",
                           "index.htm"}) {
    EXPECT_TRUE(help_.ShowTopic("ravelin.chm", page)) << page;
    EXPECT_EQ(help_.viewer()->current_page(), page);
  }
}

TEST_F(MainFrameTest, MissingHelpFileShowsNoPage) {
  platform::HelpSystem nowhere({config_.path("")});
  ThreadContext main("Main", ThreadContext::kDefaultStack,
                     {&errors_, &settings_, &nowhere, nullptr}, nullptr, true);
  main.set_delete_when_ended(false);
  nowhere.Register("ravelin.chm");
  MainFrame frame(main);
  frame.show();
  for (int number : {-22, -23, -24}) {
    frame.action(number)->trigger();
    EXPECT_EQ(nowhere.viewer()->current_page(), QString()) << number;
  }
  EXPECT_TRUE(frame.isVisible());
}

TEST_F(MainFrameTest, EditCommandsWorkOnTheFocusedControl) {
  auto frame = OpenFrame();
  auto* edit = new QLineEdit("checklist");
  QMdiSubWindow* child = frame->AddChildWindow(edit);
  child->show();
  frame->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
  edit->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), edit);

  edit->setSelection(0, 5);
  frame->action(-7)->trigger();  // Copy
  EXPECT_EQ(QApplication::clipboard()->text(), "check");
  frame->action(-6)->trigger();  // Cut
  EXPECT_EQ(edit->text(), "list");
  edit->setCursorPosition(4);
  frame->action(-8)->trigger();  // Paste
  EXPECT_EQ(edit->text(), "listcheck");
}

TEST_F(MainFrameTest, TileCascadeAndArrangeIcons) {
  auto frame = OpenFrame();
  frame->action(-11)->trigger();
  frame->action(-12)->trigger();
  auto children = frame->mdi_area()->subWindowList(QMdiArea::CreationOrder);
  ASSERT_EQ(children.size(), 2);

  frame->action(-18)->trigger();  // Tile
  EXPECT_FALSE(children[0]->geometry().intersects(children[1]->geometry()));
  frame->action(-19)->trigger();  // Cascade
  EXPECT_TRUE(children[0]->geometry().intersects(children[1]->geometry()));
  EXPECT_NE(children[0]->pos(), children[1]->pos());

  for (QMdiSubWindow* c : children) c->showMinimized();
  frame->action(-20)->trigger();  // Arrange Icons
  const int bottom = frame->mdi_area()->viewport()->height();
  EXPECT_EQ(children[0]->geometry().bottom() + 1, bottom);
  EXPECT_EQ(children[1]->geometry().bottom() + 1, bottom);
  EXPECT_EQ(children[0]->x(), 0);
  EXPECT_EQ(children[1]->x(), children[0]->width());
}

TEST_F(MainFrameTest, RunMainFrameReturnsWhenTheFrameCloses) {
  QTimer::singleShot(50, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* frame = qobject_cast<MainFrame*>(w)) frame->close();
  });
  EXPECT_EQ(RunMainFrame(main_), 0);
  EXPECT_TRUE(config_.Read("ravelin").contains("[Main]\nMaximize=No"));
}

}  // namespace
}  // namespace ravelin
