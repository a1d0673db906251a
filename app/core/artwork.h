// The program's pictures, drawn at run time: the program icon (our
// "CHECK4.ICO": a clipboard with a tick), the button icons, and the frame's
// background picture (our "ravelin2.jpg": a ravelin in plan, as on an old
// engineer's drawing). Everything is painted with QPainter here; nothing is
// read from files.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace ravelin {

QIcon ProgramIcon();

enum class ButtonIcon { kOk, kCancel, kHelp, kInsert, kChange, kDelete, kPrint };
QIcon MakeButtonIcon(ButtonIcon which);

// The background at its natural size (800 x 600); callers scale it.
QPixmap BackgroundPicture();

}  // namespace ravelin
