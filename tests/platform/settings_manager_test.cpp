#include "platform/settings_manager.h"

#include <gtest/gtest.h>

#include <QWidget>

#include "platform/private_profile.h"
#include "support/temp_config.h"

namespace platform {
namespace {

using testing_support::TempConfig;

class SettingsManagerTest : public ::testing::Test {
 protected:
  SettingsManagerTest() : settings_("ravelin") {
    window_.resize(300, 200);
    window_.move(40, 50);
  }
  void Section(const QString& body) { config_.Write("ravelin", "[Win]\n" + body); }

  TempConfig config_;
  SettingsManager settings_;
  QWidget window_;
};

TEST_F(SettingsManagerTest, RestoreRules) {
  struct Case {
    const char* name;
    const char* section;
    bool resizable;
    QPoint pos;
    QSize size;
    bool maximized;
    bool minimized;
  } cases[] = {
      {"no section", "", true, {40, 50}, {300, 200}, false, false},
      {"Maximize neither Yes nor No restores nothing",
       "Maximize=yes\nMinimize=Yes\nXPos=7\nYPos=8\n", true, {40, 50}, {300, 200}, false, false},
      {"place applied", "Maximize=No\nMinimize=No\nXPos=7\nYPos=8\n", false, {7, 8},
       {300, 200}, false, false},
      {"size only for a resizable window",
       "Maximize=No\nXPos=7\nYPos=8\nWidth=350\nHeight=250\n", true, {7, 8}, {350, 250},
       false, false},
      {"size ignored for a fixed window", "Maximize=No\nWidth=350\nHeight=250\n", false,
       {40, 50}, {300, 200}, false, false},
      {"maximised, no place kept", "Maximize=Yes\nMinimize=No\n", false, {40, 50},
       {300, 200}, true, false},
      {"minimised last", "Maximize=No\nMinimize=Yes\nXPos=7\nYPos=8\n", false, {7, 8},
       {300, 200}, false, true},
      {"numbers that are not numbers are ignored", "Maximize=No\nXPos=seven\nYPos=8\n", false,
       {40, 50}, {300, 200}, false, false},
      {"a place off every screen is not applied", "Maximize=No\nXPos=-90000\nYPos=90000\n",
       false, {40, 50}, {300, 200}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Section(c.section);
    QWidget w;
    w.resize(300, 200);
    w.move(40, 50);
    settings_.FetchWindow("Win", &w, c.resizable);
    EXPECT_EQ(w.pos(), c.pos);
    EXPECT_EQ(w.size(), c.size);
    EXPECT_EQ(w.isMaximized(), c.maximized);
    EXPECT_EQ(w.isMinimized(), c.minimized);
  }
}

TEST_F(SettingsManagerTest, MaximisedWindowThatShouldNotBeIsRestoredFirst) {
  Section("Maximize=No\nMinimize=No\nXPos=7\nYPos=8\n");
  window_.setWindowState(Qt::WindowMaximized);
  settings_.FetchWindow("Win", &window_, false);
  EXPECT_FALSE(window_.isMaximized());
  EXPECT_EQ(window_.pos(), QPoint(7, 8));
}

TEST_F(SettingsManagerTest, SavesPlaceOrStateOnly) {
  settings_.UpdateWindow("Win", &window_, true);
  EXPECT_EQ(config_.Read("ravelin"),
            "[Win]\nMaximize=No\nMinimize=No\nXPos=40\nYPos=50\nWidth=300\nHeight=200\n");

  window_.setWindowState(Qt::WindowMaximized);
  settings_.UpdateWindow("Win", &window_, true);
  EXPECT_EQ(config_.Read("ravelin"), "[Win]\nMaximize=Yes\nMinimize=No\n");

  window_.setWindowState(Qt::WindowNoState);
  window_.move(40, 50);
  settings_.UpdateWindow("Fixed", &window_, false);
  EXPECT_EQ(GetProfileString("ravelin", "Fixed", "Width"), std::nullopt);
  EXPECT_EQ(GetProfileString("ravelin", "Fixed", "XPos"), "40");
}

TEST_F(SettingsManagerTest, SavedPlaceRoundTrips) {
  window_.move(123, 77);
  settings_.UpdateWindow("Win", &window_, false);
  QWidget again;
  again.resize(300, 200);
  settings_.FetchWindow("Win", &again, false);
  EXPECT_EQ(again.pos(), QPoint(123, 77));
  EXPECT_EQ(again.size(), QSize(300, 200));
}

TEST_F(SettingsManagerTest, KillWritesBookkeepingOnce) {
  settings_.Update("Win", "Maximize", "No");
  settings_.Kill();
  settings_.Kill();
  EXPECT_EQ(config_.Read("ravelin"), "[Win]\nMaximize=No\n[__Dont_Touch_Me__]\nSectors=\n");
}

}  // namespace
}  // namespace platform
