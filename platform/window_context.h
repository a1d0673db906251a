// WindowContext: what a window procedure's own thread holds.
//
// In the design every window procedure started from the frame runs on a
// thread of its own, with its own request and response codes, its own
// instances of the tables and its own table managers; the frame starts it and
// returns at once. Qt widgets must live on the GUI thread, so here a started
// procedure gets a WindowContext of its own instead of a thread:
//
//   thread start hook   -> WindowContext::Start(): clears the codes, runs
//                          OnStart() (per-context set-up, e.g. table managers)
//   the procedure       -> runs on the GUI thread with its context; the
//                          windows it opens are adopted by the context
//   forms and reports   -> run on the caller's context, as they would run on
//   called from there      the caller's thread
//   thread end          -> when the last adopted window is destroyed (or the
//                          procedure returned without opening one) the
//                          context runs OnEnd() and deletes itself
//   thread stack size   -> recorded (stack_size()) but not needed
//
// The frame keeps no record of the contexts it starts. Process-wide and
// shared by all contexts are the services in GlobalServices (error manager,
// settings manager, help system, fuzzy matcher).
//
// Window life cycle (OpenWindow): announce the procedure name to the error
// manager, restore the window's place from its settings section, give it the
// program icon when it has none, bind F1 to its help topic; when the window
// closes, save its place and withdraw the procedure name.
#pragma once

#include <QObject>
#include <QPointer>
#include <QHash>
#include <QString>
#include <cstdint>

class QWidget;
class QMdiSubWindow;

namespace platform {

class ErrorManager;
class FuzzyMatcher;
class HelpHandler;
class HelpSystem;
class SettingsManager;

struct GlobalServices {
  ErrorManager* errors = nullptr;
  SettingsManager* settings = nullptr;
  HelpSystem* help = nullptr;
  FuzzyMatcher* fuzzy = nullptr;
};

// Request codes a browse gives a form, and the form's response codes.
namespace request {
inline constexpr uint8_t kNone = 0;
inline constexpr uint8_t kInsertRecord = 1;
inline constexpr uint8_t kChangeRecord = 2;
inline constexpr uint8_t kDeleteRecord = 3;
inline constexpr uint8_t kViewRecord = 4;
}  // namespace request
namespace response {
inline constexpr uint8_t kNone = 0;
inline constexpr uint8_t kRequestCompleted = 1;
inline constexpr uint8_t kRequestCancelled = 2;
}  // namespace response

struct ThreadCodes {
  uint8_t request = request::kNone;
  uint8_t response = response::kNone;
  int32_t navigation = 0;  // record-navigation request of stepping forms
  void Clear() { *this = ThreadCodes(); }
};

// Where a procedure's child windows open: the frame's client area.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  virtual QMdiSubWindow* AddChildWindow(QWidget* content) = 0;
};

class WindowContext : public QObject {
  Q_OBJECT
 public:
  inline static constexpr int kMinimumStack = 20000;

  WindowContext(QString procedure, int stack_size, GlobalServices services,
                WindowHost* host = nullptr);
  ~WindowContext() override;

  const QString& procedure() const { return procedure_; }
  int stack_size() const { return stack_size_; }
  ThreadCodes& codes() { return codes_; }
  const GlobalServices& services() const { return services_; }
  // For the main thread's context, made before the services exist.
  void SetServices(GlobalServices services) { services_ = services; }
  WindowHost* host() const { return host_; }

  // The thread start hook.
  void Start();
  // Called when the procedure has returned: a context with no window left
  // ends now.
  void ProcedureReturned();

  // Takes the request code and clears the request and response codes.
  uint8_t TakeRequest();

  // Runs the window life cycle for `window` (see the header comment) under
  // settings section `section`. Returns the window's help handler.
  HelpHandler* OpenWindow(QWidget* window, const QString& section,
                          bool resizable, const QString& help_topic);

  int open_windows() const { return open_windows_; }
  bool has_ended() const { return ended_; }
  // A started procedure's context deletes itself when it ends (nobody keeps
  // it); the main thread's context is owned by start-up instead.
  void set_delete_when_ended(bool on) { delete_when_ended_ = on; }

 signals:
  void ended();

 protected:
  virtual void OnStart() {}
  virtual void OnEnd() {}

 private:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void WindowGone();
  void End();

  struct Placement {
    QString section;
    bool resizable;
  };

  QString procedure_;
  int stack_size_;
  QHash<QObject*, Placement> placements_;
  GlobalServices services_;
  WindowHost* host_;
  ThreadCodes codes_;
  int open_windows_ = 0;
  bool returned_ = false;
  bool ended_ = false;
  bool delete_when_ended_ = true;
};

}  // namespace platform
