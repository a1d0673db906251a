// The tsr program end to end: the data dictionary's tables created from
// declarations, items imported and dumped back, refused rows, and bad input
// that must leave files unchanged.
#include "tools/tsr/commands.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/storage/support/scratch_dir.h"
#include "tests/tools/support/run_tsr.h"

namespace tsr {
namespace {

using tessera::testing::ScratchDir;
using testing::Outcome;
using testing::ReadAll;
using testing::RunTsr;

constexpr char kItems[] =
    "ITE:CHECKLISTNAME STRING(40), ITE:SUBCATEGORY STRING(20), ITE:PRIORITY REAL, "
    "ITE:ITEM STRING(60); KEY ITE:BYITEM DUP OPT NOCASE (ITE:CHECKLISTNAME, ITE:SUBCATEGORY, "
    "ITE:PRIORITY, ITE:ITEM)";

class TsrCommandTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir.File(name); }
  Outcome Tsr(const std::vector<std::string>& args) { return RunTsr(args, dir.path()); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  // Runs a command expected to succeed.
  std::string Ok(const std::vector<std::string>& args) {
    const Outcome o = Tsr(args);
    EXPECT_EQ(o.code, 0) << args[0] << ": " << o.err;
    return o.out;
  }

  ScratchDir dir;
};

// The three tables of the data dictionary; 10,000 items imported from CSV
// come back from a dump in key order exactly as they went in.
TEST_F(TsrCommandTest, DataDictionaryRoundTrip) {
  const std::string lists = Path("CHECKLIS.TSR"), cats = Path("CATEGORI.TSR"),
                    items = Path("ITEMS.TSR");
  Ok({"create", lists, "CHE:CHECKLISTNAME STRING(40); KEY CHE:BYNAME DUP OPT NOCASE (CHE:CHECKLISTNAME)"});
  Ok({"create", cats, "CAT:CATEGORY STRING(40); KEY CAT:BYCATEGORY DUP OPT NOCASE (CAT:CATEGORY)"});
  Ok({"create", items, kItems});

  // Generated in key order: every component ascends with the loops.
  const char* priorities[] = {"-3", "-1.5", "0", "0.25", "1", "2", "10", "100.5", "1000000", "1e+30"};
  std::string csv = "ITE:CHECKLISTNAME,ITE:SUBCATEGORY,ITE:PRIORITY,ITE:ITEM\n";
  for (char list = 'A'; list < 'A' + 10; ++list) {
    for (char sub = 'A'; sub < 'A' + 10; ++sub) {
      for (const char* priority : priorities) {
        for (char item = 'A'; item < 'A' + 10; ++item) {
          csv += std::string("CHECKLIST ") + list + ",SUB " + sub + "," + priority + ",";
          csv += item % 3 == 0 ? std::string("\"ITEM ") + item + ", with \"\"quotes\"\"\""
                               : std::string("ITEM ") + item;
          csv += "\n";
        }
      }
    }
  }
  Write("items.csv", csv);
  Write("lists.csv", "CHE:CHECKLISTNAME\nGarden\nTravel\n");
  EXPECT_EQ(Ok({"import", items, "--csv", Path("items.csv")}), "10000 record(s) added, 0 refused\n");
  Ok({"import", lists, "--csv", Path("lists.csv")});

  EXPECT_EQ(Ok({"dump", items, "--csv", "--key", "ite:byitem"}), csv);
  EXPECT_EQ(Ok({"dump", lists, "--key", "CHE:BYNAME"}), "CHE:CHECKLISTNAME\nGarden\nTravel\n");
  EXPECT_EQ(Ok({"dump", cats, "--json"}), "[]\n");
  const std::string tables = Ok({"tables", items});
  EXPECT_NE(tables.find("records 10000"), std::string::npos) << tables;
  EXPECT_NE(tables.find("key ITE:BYITEM DUP OPT NOCASE  entries 10000"), std::string::npos) << tables;
  for (const auto& f : {lists, cats, items}) {
    const Outcome o = Tsr({"check", f});
    EXPECT_EQ(o.code, 0) << f << "\n" << o.out << o.err;
  }
  // A rebuild gives the same keys.
  Ok({"rebuild", items});
  EXPECT_EQ(Ok({"dump", items, "--key", "ITE:BYITEM"}), csv);
  EXPECT_EQ(Tsr({"check", items}).code, 0);
}

// A rebuild draws its progress bar only when stderr is a terminal.
TEST_F(TsrCommandTest, RebuildShowsProgressOnATerminal) {
  const std::string f = Path("P.TSR");
  Ok({"create", f, "P:N LONG; KEY P:BYN DUP (P:N)"});
  std::string csv = "P:N\n";
  for (int i = 0; i < 2000; ++i) csv += std::to_string(i % 97) + "\n";
  Write("p.csv", csv);
  Ok({"import", f, "--csv", Path("p.csv")});
  const Outcome plain = Tsr({"rebuild", f});
  EXPECT_EQ(plain.code, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out, "key P:BYN: 2000 entries\n");

  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    dup2(slave, 2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(TSR_BINARY, TSR_BINARY, "rebuild", f.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(slave);
  std::string screen;
  char buffer[512];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, n);
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(screen.find("P:BYN [          "), std::string::npos) << screen;
  EXPECT_NE(screen.find("P:BYN [" + std::string(30, '#') + "] 100%"), std::string::npos) << screen;
}

// The schema prints the stored definition in the declaration syntax, which
// creates the same table again.
TEST_F(TsrCommandTest, SchemaRecreatesTheTable) {
  Ok({"create", Path("A.TSR"), std::string(kItems) + ", ITE:NOTES MEMO(200), ITE:PHOTO BLOB"});
  const std::string schema = Ok({"schema", Path("A.TSR")});
  EXPECT_NE(schema.find("ITE:PRIORITY REAL;"), std::string::npos) << schema;
  EXPECT_NE(schema.find("offset 60, size 8"), std::string::npos) << schema;
  Ok({"create", Path("B.TSR"), schema});
  const auto body = [](const std::string& s) { return s.substr(s.find('\n')); };
  EXPECT_EQ(body(Ok({"schema", Path("B.TSR")})), body(schema));

  // Memos and blobs come out of a dump; blobs as base64.
  Write("m.csv", "ITE:ITEM,ITE:NOTES,ITE:PHOTO\nx,\"two\nlines\",AAEC/w==\n");
  Ok({"import", Path("A.TSR"), "--csv", Path("m.csv")});
  EXPECT_EQ(Ok({"dump", Path("A.TSR"), "--json"}),
            "[\n  {\"ITE:CHECKLISTNAME\": \"\", \"ITE:SUBCATEGORY\": \"\", \"ITE:PRIORITY\": 0, "
            "\"ITE:ITEM\": \"x\", \"ITE:NOTES\": \"two\\nlines\", \"ITE:PHOTO\": \"AAEC/w==\"}\n]\n");
}

// Rows that do not fit are refused one by one with their line; the others
// go in and the exit code says not all did.
TEST_F(TsrCommandTest, ImportRefusesRowsThatDoNotFit) {
  const std::string f = Path("U.TSR");
  Ok({"create", f, "U:CODE STRING(4), U:N LONG, U:AMOUNT DECIMAL(5,2); KEY U:BYCODE (U:CODE)"});
  Write("u.csv",
        "U:CODE,U:N,U:AMOUNT\n"
        "AA,1,1.5\n"
        "TOOLONG,2,0\n"  // line 3
        "BB,x,0\n"       // line 4
        "AA,3,0\n"       // line 5: duplicate
        "CC,4,1.234\n"   // line 6: too many places
        "DD,99999999999,0\n"  // line 7: out of range
        "EE,5,-123.45\n");
  const Outcome o = Tsr({"import", f, "--csv", Path("u.csv")});
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out, "2 record(s) added, 5 refused\n");
  for (const char* line : {"line 3: U:CODE: longer than 4", "line 4: U:N: not a whole number",
                           "line 5: duplicate in key U:BYCODE", "line 6: U:AMOUNT: more than 2",
                           "line 7: U:N: out of range"}) {
    EXPECT_NE(o.err.find(line), std::string::npos) << line << "\n" << o.err;
  }
  EXPECT_EQ(Ok({"dump", f}), "U:CODE,U:N,U:AMOUNT\nAA,1,1.50\nEE,5,-123.45\n");
  EXPECT_EQ(Tsr({"check", f}).code, 0);
}

// Bad input of every kind: one line on stderr, exit 2, and the file stays
// byte for byte as it was.
TEST_F(TsrCommandTest, BadInputLeavesFilesUnchanged) {
  const std::string f = Path("ITEMS.TSR");
  const std::string secret = Path("SECRET.TSR");
  Ok({"create", f, kItems});
  Ok({"create", secret, "S:X STRING(10)", "--password", "open sesame"});
  Write("bad.csv", "ITE:ITEM\n\"unclosed\n");
  Write("unknown.csv", "ITE:ITEM,ITE:COLOUR\na,b\n");
  Write("ok.csv", "ITE:ITEM\na\n");
  Write("short.csv", "");
  const std::string before = ReadAll(f), secret_before = ReadAll(secret);

  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"tables", Path("MISSING.TSR")}, "no such file"},
      {{"schema", f + "\\!NOPE"}, "no table NOPE"},
      {{"create", f + "\\!NEW", "N:A STRING("}, "declaration, column 12: expected the length at the end"},
      {{"create", f + "\\!NEW", "N:A STRING(4) N:B LONG"}, "column 15: expected ',' or ';'"},
      {{"create", f + "\\!NEW", "N:A STRING(4); KEY N:K (N:Z)"}, "column 25: key component N:Z is no field"},
      {{"create", f, kItems}, "exists already"},
      {{"import", f, "--csv", Path("bad.csv")}, "line 2: a quoted value is not closed"},
      {{"import", f, "--csv", Path("unknown.csv")}, "has no field ITE:COLOUR"},
      {{"import", f, "--csv", Path("none.csv")}, "cannot be read"},
      {{"import", f, "--csv", Path("short.csv")}, "no header line"},
      {{"import", f}, "import needs --csv"},
      {{"dump", f, "--key", "NOPE"}, "no key named NOPE"},
      {{"dump", f, "--csv", "--json"}, "choose --csv or --json"},
      {{"schema", secret}, "not a Tessera file or wrong password"},
      {{"dump", secret, "--password", "wrong"}, "not a Tessera file or wrong password"},
      {{"check", secret, "--password", "wrong"}, "not a Tessera file or wrong password"},
      {{"import", secret, "--csv", Path("ok.csv")}, "not a Tessera file or wrong password"},
      {{"frobnicate", f}, "unknown command frobnicate"},
      {{"dump", f, "--colour"}, "unknown option --colour"},
      {{}, "usage:"},
  };
  for (const Case& c : cases) {
    const Outcome o = Tsr(c.args);
    const std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.message;
    EXPECT_EQ(o.code, 2) << what;
    EXPECT_EQ(o.err.rfind("tsr: ", 0), 0u) << what << ": " << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << what << ": " << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << what << ": " << o.err;
  }
  EXPECT_EQ(ReadAll(f), before);
  EXPECT_EQ(ReadAll(secret), secret_before);
  // The right password opens it.
  Write("s.csv", "S:X\nhidden\n");
  Ok({"import", secret, "--csv", Path("s.csv"), "--password", "open sesame"});
  EXPECT_EQ(Ok({"dump", secret, "--password", "open sesame"}), "S:X\nhidden\n");
  EXPECT_EQ(Tsr({"check", secret, "--password", "open sesame"}).code, 0);
  EXPECT_EQ(ReadAll(secret).find("hidden"), std::string::npos) << "stored enciphered";
}

}  // namespace
}  // namespace tsr
