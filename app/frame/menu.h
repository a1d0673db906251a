// The frame's menu as data: every entry in order with its control number,
// text (an ampersand marks the access key), status-bar message and command.
// The frame builds its menu bar from this table and routes each chosen item
// by its number.
#pragma once

#include <vector>

namespace ravelin {

enum class MenuCommand {
  kNone,
  kPrintSetup,
  kExit,
  kCut,
  kCopy,
  kPaste,
  kStart,  // start the entry's procedure
  kTile,
  kCascade,
  kArrangeIcons,
  kHelpIndex,     // the help file's index page
  kHelpSearch,    // the help file's search page
  kHelpContents,  // the help file's table of contents
};

enum class MenuKind { kMenu, kItem, kSeparator, kEnd };

struct MenuEntry {
  MenuKind kind;
  int number;           // 0 for separators and menu ends
  const char* text;
  const char* status;   // "" when the item has no message
  MenuCommand command;
  const char* procedure;  // kStart only
};

inline constexpr int kMenuBarNumber = -1;

const std::vector<MenuEntry>& FrameMenu();

}  // namespace ravelin
