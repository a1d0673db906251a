// The open prompt: when it is shown, how the table of a file is picked, the
// one retry, cancel and the password rules -- with a scripted chooser in
// place of the platform's dialogs.
#include "storage/table_chooser.h"

#include <gtest/gtest.h>

#include <deque>

#include "tests/storage/support/table_fixture.h"

namespace tessera {
namespace {

using testing::ItemsDeclaration;
using testing::TableFixture;

class ScriptedChooser : public TableChooser {
 public:
  std::deque<FileChoice> files;
  std::deque<std::pair<int, std::string>> lists;
  std::vector<FileDialog> file_dialogs;
  std::vector<std::string> list_calls;  // title | prompt | choices

  FileChoice ChooseFile(const FileDialog& dialog) override {
    file_dialogs.push_back(dialog);
    EXPECT_FALSE(files.empty()) << "unexpected file prompt";
    if (files.empty()) return {1, "", ""};
    FileChoice c = files.front();
    files.pop_front();
    return c;
  }
  int ChooseFromList(const std::string& title, const std::string& prompt,
                     const std::string& choices, std::string* chosen) override {
    list_calls.push_back(title + " | " + prompt + " | " + choices);
    EXPECT_FALSE(lists.empty()) << "unexpected list prompt";
    if (lists.empty()) return 1;
    *chosen = lists.front().second;
    const int result = lists.front().first;
    lists.pop_front();
    return result;
  }
};

class TableChooserTest : public TableFixture {
 protected:
  ScriptedChooser chooser;

  void Make(const std::string& name) {
    Table t(services);
    ASSERT_TRUE(t.Create(name, ItemsDeclaration()).ok());
    ASSERT_TRUE(t.Close().ok());
  }
};

TEST_F(TableChooserTest, AWorkingNameNeedsNoPrompt) {
  Make(Path("F\\!t"));
  std::string name = Path("F\\!t"), password;
  ASSERT_TRUE(ChooseTable(services, chooser, &name, &password).ok());
  EXPECT_EQ(name, Path("F\\!t"));
  EXPECT_TRUE(chooser.file_dialogs.empty());
}

TEST_F(TableChooserTest, MissingFilePromptsOnceAndOffersTheTables) {
  Make(Path("F"));
  Make(Path("F\\!second"));
  chooser.files.push_back({0, Path("F"), "   "});
  chooser.lists.push_back({0, "second"});
  std::string name = Path("MISSING"), password = "old";
  ASSERT_TRUE(ChooseTable(services, chooser, &name, &password).ok());
  EXPECT_EQ(name, Path("F\\!second"));
  EXPECT_EQ(password, "");  // spaces only: no password
  ASSERT_EQ(chooser.file_dialogs.size(), 1u);
  const TableChooser::FileDialog& d = chooser.file_dialogs[0];
  EXPECT_EQ(d.title, "Open Tessera File");
  EXPECT_EQ(d.filter, "Tessera Files (*.tsr)|*.TSR|All Files (*.*)|*.*");
  EXPECT_EQ(d.default_extension, "TSR");
  EXPECT_EQ(d.name_length, 260u);
  EXPECT_EQ(d.password_length, 255u);
  EXPECT_EQ(chooser.list_calls,
            (std::vector<std::string>{"Select Tessera Table | Table &Name | UNNAMED|second"}));
}

TEST_F(TableChooserTest, OneTableIsTakenAndUnnamedKeepsThePlainName) {
  Make(Path("ONE\\!only"));
  Make(Path("PLAIN"));
  for (const auto& [file, expected] :
       {std::pair{Path("ONE"), Path("ONE\\!only")}, std::pair{Path("PLAIN"), Path("PLAIN")}}) {
    chooser.files.push_back({0, file, ""});
    std::string name, password;
    ASSERT_TRUE(ChooseTable(services, chooser, &name, &password).ok());
    EXPECT_EQ(name, expected);
  }
  EXPECT_TRUE(chooser.list_calls.empty());
}

TEST_F(TableChooserTest, CancelAndFailureAfterThePromptRestoreThePassword) {
  std::string name, password = "secret";
  chooser.files.push_back({7, "", ""});
  EXPECT_EQ(ChooseTable(services, chooser, &name, &password).code(), 7);
  EXPECT_EQ(password, "secret");

  // A chosen file that does not open: the result stands, no second prompt.
  chooser.files.push_back({0, Path("NOWHERE\\!t"), "pw"});
  EXPECT_EQ(ChooseTable(services, chooser, &name, &password).code(), err::kFileNotFound);
  EXPECT_EQ(password, "secret");
  EXPECT_EQ(chooser.file_dialogs.size(), 2u);

  // Cancel in the list dialog.
  Make(Path("F"));
  Make(Path("F\\!second"));
  chooser.files.push_back({0, Path("F"), ""});
  chooser.lists.push_back({3, ""});
  EXPECT_EQ(ChooseTable(services, chooser, &name, &password).code(), 3);
  EXPECT_EQ(name, "");
}

}  // namespace
}  // namespace tessera
