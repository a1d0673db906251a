// TableChooser: the open prompt for a table that has no usable name.
//
// The dialogs are the platform's (the app implements TableChooser with its
// widgets); the engine side here decides when to prompt, which table of the
// chosen file to take, and checks the choice by opening it:
//
//  1. No name yet: prompt at once. Otherwise try the name first.
//  2. Prompt: file-open dialog "Open Tessera File" (filter "Tessera Files
//     (*.tsr)|*.TSR|All Files (*.*)|*.*", extension "TSR", name 260 bytes,
//     password 255). Cancel or an empty name ends the prompt; a password of
//     spaces only counts as none.
//  3. A chosen name without a table part: the file's tables are listed; one
//     is taken, several are offered in the list dialog "Select Tessera Table"
//     ("Table &Name", names separated by "|"). A table other than UNNAMED
//     makes the name file "\!" table.
//  4. The table is opened without a declaration (mode 0x40) and closed. 2,
//     3, 5 or 36 before any prompt was shown shows it (step 2); otherwise
//     the result stands. Success keeps the name; failure restores the
//     previous password.
#pragma once

#include <string>

#include "storage/status.h"
#include "storage/table.h"

namespace tessera {

class TableChooser {
 public:
  virtual ~TableChooser() = default;

  struct FileDialog {
    std::string title = "Open Tessera File";
    std::string filter = "Tessera Files (*.tsr)|*.TSR|All Files (*.*)|*.*";
    std::string default_extension = "TSR";
    size_t name_length = 260;
    size_t password_length = 255;
  };
  struct FileChoice {
    int result = 0;  // 0: chosen; anything else: cancelled
    std::string name;
    std::string password;
  };
  virtual FileChoice ChooseFile(const FileDialog& dialog) = 0;
  // The list dialog over `choices` (names separated by "|"). 0 and the
  // chosen name, or another result on cancel.
  virtual int ChooseFromList(const std::string& title, const std::string& prompt,
                             const std::string& choices, std::string* chosen) = 0;
};

// Runs the prompt for `*name` (may be empty) with `*password`. Returns 0,
// the dialog's result on cancel (45 for an empty name chosen), or the
// open's error.
Status ChooseTable(const TableServices& services, TableChooser& chooser, std::string* name,
                   std::string* password);

}  // namespace tessera
