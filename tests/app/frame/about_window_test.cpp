#include "app/frame/about_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "app/core/thread_context.h"
#include "platform/dialog_units.h"
#include "platform/settings_manager.h"
#include "support/temp_config.h"

namespace ravelin {
namespace {

TEST(AboutWindow, TextsButtonsAndPlace) {
  testing_support::TempConfig config;
  platform::SettingsManager settings("ravelin");
  config.Write("ravelin", "[about]\nMaximize=No\nMinimize=No\nXPos=15\nYPos=25\n");
  StartProcedure({"about", ThreadContext::kDefaultStack, RunAbout},
                 {nullptr, &settings, nullptr, nullptr}, nullptr);
  AboutWindow* about = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* a = qobject_cast<AboutWindow*>(w)) about = a;
  ASSERT_NE(about, nullptr);
  QPointer<AboutWindow> guard = about;

  EXPECT_EQ(about->windowTitle(), "About Ravelin...");
  EXPECT_EQ(about->version_label()->text(), "Ravelin Version 3.0.4");
  EXPECT_EQ(about->ok_button()->text(), "&OK");
  EXPECT_TRUE(about->ok_button()->isDefault());
  EXPECT_EQ(about->close_button()->text(), "Close");
  EXPECT_FALSE(about->close_button()->icon().isNull());
  EXPECT_EQ(about->size(), platform::DialogUnits(about->font()).ToPixels(227, 118));
  EXPECT_EQ(about->pos(), QPoint(15, 25));
  // The version line sits in the lower left part of the window.
  const QRect line = about->version_label()->geometry();
  EXPECT_LT(line.left(), about->width() / 4);
  EXPECT_GT(line.top(), about->height() / 2);

  QTest::mouseClick(about->ok_button(), Qt::LeftButton);
  EXPECT_TRUE(about->isVisible());  // OK has no action of its own

  about->move(44, 55);
  QTest::mouseClick(about->close_button(), Qt::LeftButton);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(guard.isNull());
  EXPECT_EQ(config.Read("ravelin"),
            "[about]\nMaximize=No\nMinimize=No\nXPos=44\nYPos=55\n");
}

}  // namespace
}  // namespace ravelin
