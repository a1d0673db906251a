// MainFrame: the program's one application window (procedure `Main`).
//
// A multiple-document frame titled "Ravelin", 371 x 266 dialog units,
// centred, not resizable by dragging (only its place and its maximised and
// minimised states are kept, in settings section "Main"), with the
// background picture in its client area, a four-section status bar whose
// first section shows the message of the menu item under the cursor, and the
// menu of menu.h. Window commands start their procedure on a context of its
// own and return at once; the frame keeps no record of what it started.
// The frame opens no table.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPixmap>
#include <QPrinter>
#include <memory>

#include "app/frame/menu.h"
#include "platform/window_context.h"

class QAction;
class QLabel;
class QMdiArea;

namespace ravelin {

class ThreadContext;

class MainFrame : public QMainWindow, public platform::WindowHost {
  Q_OBJECT
 public:
  inline static constexpr int kStatusSections = 4;

  explicit MainFrame(ThreadContext& context, QWidget* parent = nullptr);
  ~MainFrame() override;

  QMdiSubWindow* AddChildWindow(QWidget* content) override;

  QMdiArea* mdi_area() const { return mdi_; }
  QLabel* status_section(int index) const { return sections_[index]; }
  // The action of menu item `number` (-3, -4, ...), or null.
  QAction* action(int number) const { return actions_.value(number); }
  // The design size in pixels.
  QSize design_size() const { return design_size_; }

  void RunCommand(int number);

 signals:
  void closed();

 protected:
  bool event(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenus();
  void CreateStatusBar();
  void FixSize(bool fixed);
  void EditCommand(const char* slot);
  void ArrangeIcons();
  void PrintSetup();

  ThreadContext& context_;
  QMdiArea* mdi_;
  QLabel* sections_[kStatusSections] = {};
  QHash<int, QAction*> actions_;
  QSize design_size_;
  QPrinter printer_;
};

// The `Main` procedure: opens the frame on `context`, runs the event loop
// until the frame is closed, and returns the loop's result.
int RunMainFrame(ThreadContext& context);

}  // namespace ravelin
