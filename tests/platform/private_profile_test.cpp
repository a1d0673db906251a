#include "platform/private_profile.h"

#include <gtest/gtest.h>

#include <QDir>

#include "support/temp_config.h"

namespace platform {
namespace {

using testing_support::TempConfig;

TEST(ResolveProfilePath, NameWithoutFolderGoesToTheConfigFolder) {
  TempConfig config;
  EXPECT_EQ(ResolveProfilePath("ravelin"), config.path("ravelin"));
  EXPECT_EQ(ResolveProfilePath("/etc/x/ravelin"), "/etc/x/ravelin");
  EXPECT_EQ(ResolveProfilePath("sub/ravelin"), "sub/ravelin");

  // Unset, empty or relative: the default folder under home.
  const QString fallback = QDir::homePath() + "/.config/ravelin";
  qputenv("XDG_CONFIG_HOME", "relative/dir");
  EXPECT_EQ(ResolveProfilePath("ravelin"), fallback);
  qputenv("XDG_CONFIG_HOME", "");
  EXPECT_EQ(ResolveProfilePath("ravelin"), fallback);
}

TEST(PrivateProfile, WritesReadsAndDeletesEntries) {
  TempConfig config;
  config.Write("ravelin",
               "; kept comment\n[Main]\nMaximize=No\n\n[other]\nKey = Value With Case \n");
  EXPECT_EQ(GetProfileString("ravelin", "main", "MAXIMIZE"), "No");
  EXPECT_EQ(GetProfileString("ravelin", "Other", "key"), "Value With Case");
  EXPECT_EQ(GetProfileString("ravelin", "Main", "XPos"), std::nullopt);
  EXPECT_EQ(GetProfileString("ravelin", "None", "XPos"), std::nullopt);

  ASSERT_TRUE(WriteProfileString("ravelin", "MAIN", "XPos", "12"));
  ASSERT_TRUE(WriteProfileString("ravelin", "Main", "maximize", "Yes"));
  ASSERT_TRUE(WriteProfileString("ravelin", "Other", "Key", std::nullopt));
  EXPECT_EQ(config.Read("ravelin"),
            "; kept comment\n[Main]\nMaximize=Yes\nXPos=12\n\n");
}

TEST(PrivateProfile, ValuesCannotBreakTheLineStructure) {
  TempConfig config;
  ASSERT_TRUE(WriteProfileString("ravelin", "Main", "Note", "one\n[Evil]\nx=1"));
  IniFile ini;
  ASSERT_TRUE(ini.Load(config.path("ravelin")));
  EXPECT_EQ(ini.Sections(), QStringList{"Main"});
  EXPECT_EQ(ini.Get("Main", "Note"), "one [Evil] x=1");
}

TEST(PrivateProfile, MissingFileIsEmptyAndCreatedOnFirstWrite) {
  TempConfig config;
  EXPECT_EQ(GetProfileString("ravelin", "Main", "Maximize"), std::nullopt);
  EXPECT_FALSE(QFile::exists(config.path("ravelin")));
  ASSERT_TRUE(WriteProfileString("ravelin", "Main", "Maximize", "No"));
  EXPECT_EQ(config.Read("ravelin"), "[Main]\nMaximize=No\n");
}

}  // namespace
}  // namespace platform
