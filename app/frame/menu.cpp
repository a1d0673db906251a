#include "app/frame/menu.h"

namespace ravelin {

const std::vector<MenuEntry>& FrameMenu() {
  using K = MenuKind;
  using C = MenuCommand;
  static const std::vector<MenuEntry> menu = {
      {K::kMenu, -2, "&File", "", C::kNone, nullptr},
      {K::kItem, -3, "&Print Setup ...", "Setup printer", C::kPrintSetup, nullptr},
      {K::kSeparator, 0, "", "", C::kNone, nullptr},
      {K::kItem, -4, "E&xit", "Exit this application", C::kExit, nullptr},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
      {K::kMenu, -5, "&Edit", "", C::kNone, nullptr},
      {K::kItem, -6, "Cu&t", "Cut Selection To Clipboard", C::kCut, nullptr},
      {K::kItem, -7, "&Copy", "Copy Selection To Clipboard", C::kCopy, nullptr},
      {K::kItem, -8, "&Paste", "Paste From Clipboard", C::kPaste, nullptr},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
      {K::kMenu, -9, "&Ravelin File", "", C::kNone, nullptr},
      {K::kItem, -10, "Speed Add New Checklist", "", C::kStart, "speedadd"},
      {K::kItem, -11, "Add, Change or Delete Items", "Browse items", C::kStart, "Listitems"},
      {K::kItem, -12, "Delete Entire Checklist", "", C::kStart, "checklistbrws"},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
      {K::kMenu, -13, "&Print", "", C::kNone, nullptr},
      {K::kItem, -14, "Print  Ravelin with note space", "", C::kStart, "selectlist"},
      {K::kItem, -15, "Print  Checklist without note space", "", C::kStart, "selectlist3"},
      {K::kItem, -16, "Print Pocket List", "", C::kStart, "selectlist1"},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
      {K::kMenu, -17, "&Window", "", C::kNone, nullptr},
      {K::kItem, -18, "T&ile", "Arrange multiple opened windows", C::kTile, nullptr},
      {K::kItem, -19, "&Cascade", "Arrange multiple opened windows", C::kCascade, nullptr},
      {K::kItem, -20, "&Arrange Icons", "Arrange the icons for minimized windows",
       C::kArrangeIcons, nullptr},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
      {K::kMenu, -21, "&Help", "", C::kNone, nullptr},
      {K::kItem, -22, "&Contents", "View the contents of the help file", C::kHelpIndex, nullptr},
      {K::kItem, -23, "&Search for Help On...", "Search for help on a subject", C::kHelpSearch,
       nullptr},
      {K::kItem, -24, "&How to Use Help", "Provides general instructions on using help",
       C::kHelpContents, nullptr},
      {K::kItem, -27, "About", "", C::kStart, "about"},
      {K::kEnd, 0, "", "", C::kNone, nullptr},
  };
  return menu;
}

}  // namespace ravelin
