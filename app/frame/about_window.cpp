#include "app/frame/about_window.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/core/artwork.h"
#include "app/core/thread_context.h"
#include "platform/dialog_units.h"

namespace ravelin {

AboutWindow::AboutWindow(QWidget* parent) : QDialog(parent) {
  setFont(platform::DialogFont());
  const platform::DialogUnits units(font());

  auto* picture = new QLabel;
  picture->setPixmap(ProgramIcon().pixmap(48, 48));
  version_ = new QLabel(tr("Ravelin Version 3.0.4"));
  ok_ = new QPushButton(tr("&OK"));
  ok_->setDefault(true);
  close_ = new QPushButton(MakeButtonIcon(ButtonIcon::kCancel), tr("Close"));

  // "OK" has no action of its own, as designed; "Close" closes.
  connect(close_, &QPushButton::clicked, this, &QWidget::close);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok_);
  buttons->addWidget(close_);
  buttons->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(picture, 0, Qt::AlignTop);
  top->addStretch();
  top->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addStretch();
  layout->addWidget(version_, 0, Qt::AlignLeft | Qt::AlignBottom);

  setWindowTitle(tr("About Ravelin..."));
  setFixedSize(units.ToPixels(227, 118));
}

void RunAbout(ThreadContext& context) {
  auto* window = new AboutWindow;
  window->setAttribute(Qt::WA_DeleteOnClose);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect place(QPoint(), window->size());
    place.moveCenter(screen->availableGeometry().center());
    window->move(place.topLeft());
  }
  context.OpenWindow(window, QStringLiteral("about"), false, QString());
  window->show();
}

}  // namespace ravelin
