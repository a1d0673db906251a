// The About window (procedure `about`): the program's name and version, a
// default "&OK" button that does nothing of its own, and "Close".
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ravelin {

class ThreadContext;

class AboutWindow : public QDialog {
  Q_OBJECT
 public:
  explicit AboutWindow(QWidget* parent = nullptr);

  QLabel* version_label() const { return version_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* close_button() const { return close_; }

 private:
  QLabel* version_;
  QPushButton* ok_;
  QPushButton* close_;
};

// The `about` procedure: opens the window on `context` and returns.
void RunAbout(ThreadContext& context);

}  // namespace ravelin
