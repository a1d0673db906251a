// ErrorManager: the numbered messages the user sees when something fails.
//
// Every message has a number, a severity, a title and a text. Texts may hold
// the placeholders %File, %Field, %Message, %ErrorText and %Key; they are
// filled from the MessageArgs of the call in one pass, so a value that itself
// contains a placeholder or a "|" is shown literally. A "|" in the message text
// starts a new line.
//
// Severity decides the buttons, icon and answer unless the caller names the
// buttons:
//   question  Yes (default) and No, exclamation icon; answers kBenign (go on)
//             or kCancel;
//   notice    one OK button, information icon; answers kNotify, its own level,
//             so a caller that passes the answer on still reports a failure;
//   fatal     text followed by "  Press OK to end this application", one OK,
//             information icon; answers kFatal and then halts the program
//             through the halt handler (which lets shut-down run).
// A caller naming its own buttons gets the exclamation icon and the button
// pressed back.
//
// The dialog itself is behind MessagePresenter so that tests can read and
// answer messages without a person. The manager is process-wide and used on
// the GUI thread only.
#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace platform {

enum class Severity { kQuestion, kNotice, kFatal };

// Levels a message or a check answers with.
enum class Level {
  kBenign = 0,
  kUser = 1,
  kProgram = 2,
  kFatal = 3,
  kCancel = 4,
  kNotify = 5,
};

enum class MessageIcon { kInformation, kExclamation };

enum MessageButton : unsigned {
  kButtonOk = 1u << 0,
  kButtonYes = 1u << 1,
  kButtonNo = 1u << 2,
  kButtonCancel = 1u << 3,
};

struct MessageDefinition {
  int number;
  Severity severity;
  const char* title;
  const char* text;
};

struct MessageArgs {
  QString file;
  QString field;
  QString message;
  QString error_text;
  QString key;
};

// A message ready to show: placeholders filled, "|" turned into new lines.
struct ShownMessage {
  int number = 0;
  QString title;
  QString text;
  MessageIcon icon = MessageIcon::kInformation;
  unsigned buttons = kButtonOk;
  MessageButton default_button = kButtonOk;
};

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the message and returns the button pressed (one of its buttons).
  virtual MessageButton Present(const ShownMessage& message) = 0;
};

// Shows messages in a modal QMessageBox.
class MessageBoxPresenter : public MessagePresenter {
 public:
  MessageButton Present(const ShownMessage& message) override;
};

// The standard messages of the window and table managers.
const std::vector<MessageDefinition>& StandardMessages();

// Replaces the placeholders of `text` in one pass and turns "|" into "\n".
QString ExpandMessageText(const QString& text, const MessageArgs& args);

class ErrorManager {
 public:
  inline static constexpr const char* kFatalSuffix =
      "  Press OK to end this application";

  explicit ErrorManager(std::unique_ptr<MessagePresenter> presenter = nullptr);
  ~ErrorManager();
  ErrorManager(const ErrorManager&) = delete;
  ErrorManager& operator=(const ErrorManager&) = delete;

  void SetPresenter(std::unique_ptr<MessagePresenter> presenter);
  // Runs after a fatal message has been answered. The default closes every
  // window and leaves the event loop with exit code 1.
  void SetHaltHandler(std::function<void()> halt);

  // Shows message `number` with the buttons and answer of its severity.
  // An unknown number shows a notice saying so and answers kProgram.
  Level Throw(int number, const MessageArgs& args = {});
  // Shows message `number` with the caller's buttons and default.
  MessageButton Ask(int number, const MessageArgs& args, unsigned buttons,
                    MessageButton default_button);

  // The message as it would be shown (no presenter involved).
  ShownMessage Prepare(int number, const MessageArgs& args) const;

  // The procedures whose windows are running, in the order announced.
  void Announce(const QString& procedure);
  void Withdraw(const QString& procedure);
  const QList<QString>& procedures() const { return procedures_; }

  // Every message shown, with the procedure that was last announced then.
  struct HistoryEntry {
    QString procedure;
    int number;
    QString text;
  };
  const std::vector<HistoryEntry>& history() const { return history_; }

 private:
  MessageButton Show(const ShownMessage& message);

  std::unique_ptr<MessagePresenter> presenter_;
  std::function<void()> halt_;
  QList<QString> procedures_;
  std::vector<HistoryEntry> history_;
};

}  // namespace platform
