#include "app/frame/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>

#include "app/core/artwork.h"
#include "app/core/startup.h"
#include "app/core/thread_context.h"
#include "app/frame/procedures.h"
#include "platform/dialog_units.h"
#include "platform/drag_setting.h"
#include "platform/help.h"

namespace ravelin {
namespace {

// The client area with the background picture, scaled to cover the area
// without distortion and centred (what does not fit is cut off evenly).
class BackgroundArea : public QMdiArea {
 public:
  BackgroundArea() : picture_(BackgroundPicture()) {}

 protected:
  void paintEvent(QPaintEvent* event) override {
    QMdiArea::paintEvent(event);
    const QSize area = viewport()->size();
    if (scaled_.size() != area) {
      const QPixmap cover =
          picture_.scaled(area, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
      scaled_ = cover.copy((cover.width() - area.width()) / 2,
                           (cover.height() - area.height()) / 2, area.width(),
                           area.height());
    }
    QPainter painter(viewport());
    painter.drawPixmap(0, 0, scaled_);
  }

 private:
  QPixmap picture_;
  QPixmap scaled_;
};

}  // namespace

MainFrame::MainFrame(ThreadContext& context, QWidget* parent)
    : QMainWindow(parent), context_(context) {
  mdi_ = new BackgroundArea;
  mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(mdi_);
  setFont(platform::DialogFont());

  CreateMenus();
  CreateStatusBar();

  setWindowTitle(tr("Ravelin"));
  setWindowIcon(ProgramIcon());
  design_size_ = platform::DialogUnits(font()).ToPixels(371, 266);
  FixSize(true);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect place(QPoint(), design_size_);
    place.moveCenter(screen->availableGeometry().center());
    move(place.topLeft());
  }
}

MainFrame::~MainFrame() = default;

void MainFrame::CreateMenus() {
  QMenu* menu = nullptr;
  for (const MenuEntry& entry : FrameMenu()) {
    switch (entry.kind) {
      case MenuKind::kMenu:
        menu = menuBar()->addMenu(tr(entry.text));
        actions_.insert(entry.number, menu->menuAction());
        // However the menu was opened (from the bar, by keyboard, on its
        // own), the item under the cursor names itself in the first section.
        connect(menu, &QMenu::hovered, this,
                [this](QAction* item) { sections_[0]->setText(item->statusTip()); });
        break;
      case MenuKind::kSeparator:
        menu->addSeparator();
        break;
      case MenuKind::kEnd:
        menu = nullptr;
        break;
      case MenuKind::kItem: {
        QAction* action = menu->addAction(tr(entry.text));
        action->setStatusTip(tr(entry.status));
        const int number = entry.number;
        connect(action, &QAction::triggered, this, [this, number] { RunCommand(number); });
        actions_.insert(number, action);
        break;
      }
    }
  }
}

void MainFrame::CreateStatusBar() {
  const platform::DialogUnits units(font());
  const int widths[kStatusSections] = {-1, 80, 120, 45};
  statusBar()->setSizeGripEnabled(false);
  for (int i = 0; i < kStatusSections; ++i) {
    sections_[i] = new QLabel;
    sections_[i]->setFrameShape(QFrame::Panel);
    sections_[i]->setFrameShadow(QFrame::Sunken);
    if (widths[i] < 0)
      statusBar()->addWidget(sections_[i], 1);
    else {
      sections_[i]->setFixedWidth(units.ToPixelsX(widths[i]));
      statusBar()->addWidget(sections_[i]);
    }
  }
}

void MainFrame::FixSize(bool fixed) {
  if (fixed) {
    setFixedSize(design_size_);
  } else {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }
}

QMdiSubWindow* MainFrame::AddChildWindow(QWidget* content) {
  QMdiSubWindow* window = mdi_->addSubWindow(content);
  platform::SessionDragSetting::Apply(window);
  return window;
}

bool MainFrame::event(QEvent* event) {
  // Menu items report their message here (items without one report an empty
  // text); it goes to the first section instead of covering the whole bar.
  if (event->type() == QEvent::StatusTip) {
    sections_[0]->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void MainFrame::changeEvent(QEvent* event) {
  // The border is fixed, but a maximised frame fills the screen: lift the
  // fixed size while maximised and put it back when restored.
  if (event->type() == QEvent::WindowStateChange)
    FixSize(!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)));
  QMainWindow::changeEvent(event);
}

void MainFrame::closeEvent(QCloseEvent* event) {
  // Every open window closes (and saves its place) before the frame goes.
  mdi_->closeAllSubWindows();
  if (!mdi_->subWindowList().isEmpty()) {
    event->ignore();
    return;
  }
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != this && w->isVisible()) w->close();
  event->accept();
  emit closed();
}

void MainFrame::RunCommand(int number) {
  const MenuEntry* entry = nullptr;
  for (const MenuEntry& e : FrameMenu())
    if (e.kind == MenuKind::kItem && e.number == number) entry = &e;
  if (entry == nullptr) return;
  platform::HelpSystem* help = context_.services().help;
  const QString help_file = QString::fromLatin1(kHelpFile);
  switch (entry->command) {
    case MenuCommand::kNone:
      break;
    case MenuCommand::kPrintSetup:
      PrintSetup();
      break;
    case MenuCommand::kExit:
      close();
      break;
    case MenuCommand::kCut:
      EditCommand("cut");
      break;
    case MenuCommand::kCopy:
      EditCommand("copy");
      break;
    case MenuCommand::kPaste:
      EditCommand("paste");
      break;
    case MenuCommand::kStart:
      if (auto procedure = FindProcedure(QString::fromLatin1(entry->procedure)))
        StartProcedure(*procedure, context_.services(), this);
      break;
    case MenuCommand::kTile:
      mdi_->tileSubWindows();
      break;
    case MenuCommand::kCascade:
      mdi_->cascadeSubWindows();
      break;
    case MenuCommand::kArrangeIcons:
      ArrangeIcons();
      break;
    case MenuCommand::kHelpIndex:
      if (help) help->ShowIndex(help_file);
      break;
    case MenuCommand::kHelpSearch:
      if (help) help->ShowSearch(help_file);
      break;
    case MenuCommand::kHelpContents:
      if (help) help->ShowContents(help_file);
      break;
  }
}

void MainFrame::EditCommand(const char* slot) {
  // Line and text editors (and editable combos through their line edit)
  // have cut/copy/paste slots; other controls have nothing to cut.
  QWidget* focus = QApplication::focusWidget();
  if (focus == nullptr) return;
  const QByteArray signature = QByteArray(slot) + "()";
  if (focus->metaObject()->indexOfMethod(signature.constData()) >= 0)
    QMetaObject::invokeMethod(focus, slot);
}

void MainFrame::ArrangeIcons() {
  // Minimised windows in a row along the bottom of the client area, left to
  // right, starting a new row above when one is full.
  const int width = mdi_->viewport()->width();
  int x = 0;
  int bottom = mdi_->viewport()->height();
  for (QMdiSubWindow* w : mdi_->subWindowList(QMdiArea::CreationOrder)) {
    if (!w->isMinimized()) continue;
    const QSize size = w->size();
    if (x > 0 && x + size.width() > width) {
      x = 0;
      bottom -= size.height();
    }
    w->move(x, bottom - size.height());
    x += size.width();
  }
}

void MainFrame::PrintSetup() {
  QPageSetupDialog dialog(&printer_, this);
  dialog.exec();
}

int RunMainFrame(ThreadContext& context) {
  // Take the request and clear the codes; open the frame with its icon;
  // restore its place; bind F1 to "MainMenu.htm". The Help menu's items run
  // through the frame's own command handling, not the platform's help.
  context.TakeRequest();
  MainFrame frame(context);
  context.OpenWindow(&frame, QStringLiteral("Main"), false, QStringLiteral("MainMenu.htm"));
  QObject::connect(&frame, &MainFrame::closed, qApp, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  frame.show();
  return QApplication::exec();
}

}  // namespace ravelin
