#include "storage/table_chooser.h"

#include "storage/table_catalogue.h"

namespace tessera {
namespace {

bool RetriesWithPrompt(int code) {
  return code == err::kFileNotFound || code == err::kPathNotFound ||
         code == err::kAccessDenied || code == err::kInvalidDataFile;
}

}  // namespace

Status ChooseTable(const TableServices& services, TableChooser& chooser, std::string* name,
                   std::string* password) {
  const std::string previous_password = *password;
  std::string candidate = *name;
  std::string secret = *password;
  bool prompted = false;
  for (;;) {
    if (candidate.empty()) {
      prompted = true;
      const TableChooser::FileChoice choice = chooser.ChooseFile(TableChooser::FileDialog{});
      if (choice.result != 0) {
        *password = previous_password;
        return Status::Error(choice.result, "cancelled");
      }
      if (choice.name.empty()) {
        *password = previous_password;
        return Status::Error(err::kBadFileName, "Invalid Filename");
      }
      candidate = choice.name;
      secret = choice.password.find_first_not_of(' ') == std::string::npos ? std::string()
                                                                            : choice.password;
      const TableName split = SplitTableName(candidate, services.env);
      if (!split.has_table_part) {
        std::vector<std::string> tables;
        (void)TableCatalogue::List(services, candidate, &tables, secret);
        std::string table;
        if (tables.size() == 1) {
          table = tables[0];
        } else if (tables.size() > 1) {
          std::string choices;
          for (const std::string& t : tables) choices += (choices.empty() ? "" : "|") + t;
          const int result = chooser.ChooseFromList("Select Tessera Table", "Table &Name",
                                                    choices, &table);
          if (result != 0 || table.empty()) {
            *password = previous_password;
            return Status::Error(result != 0 ? result : err::kBadFileName, "cancelled");
          }
        }
        if (!table.empty() && table != kUnnamedTable) {
          candidate += std::string(kTableSeparator) + table;
        }
      }
    }
    Table check(services);
    OpenOptions options;
    options.mode = kListMode;
    options.password = secret;
    Status s = check.Open(candidate, nullptr, options);
    (void)check.Close();
    if (!s.ok() && RetriesWithPrompt(s.code()) && !prompted) {
      candidate.clear();
      continue;
    }
    if (s.ok()) {
      *name = candidate;
      *password = secret;
    } else {
      *password = previous_password;
    }
    return s;
  }
}

}  // namespace tessera
