#include "platform/error_manager.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {
namespace {

constexpr size_t kHistoryLimit = 100;

// Table and record-maintenance messages, in number order.
const std::vector<MessageDefinition> kMessages = {
    {2, Severity::kNotice, "Access Denied",
     "Could not get write access to %File so trying read-only."},
    {4, Severity::kNotice, "Record Insert Error",
     "An error was experienced during the creation of a record.|File: %File|"
     "Error: %ErrorText."},
    {7, Severity::kNotice, "Record Was Not Updated",
     "This record was changed by another station."},
    {8, Severity::kNotice, "Record Was Not Updated",
     "This record was changed by another station. Those changes will now be "
     "displayed. Use the Ditto Button or Ctrl+H to recall your changes."},
    {10, Severity::kQuestion, "Changes will be lost!",
     "Are you sure you want to cancel?"},
    {11, Severity::kQuestion, "Confirm Delete",
     "Are you sure you want to delete the highlighted record?"},
    {12, Severity::kFatal, "File Creation Error",
     "Error: (%ErrorText) creating %File."},
    {13, Severity::kNotice, "Record was not deleted",
     "An error (%ErrorText) was experienced when deleting a record from the "
     "%File file."},
    {18, Severity::kNotice, "Range Error",
     "The value of %Field must be in range %Message."},
    {24, Severity::kNotice, "Transaction cancelled",
     "Error: (%ErrorText) attempting to frame the transaction on %File."},
    {26, Severity::kFatal, "File Access Error",
     "File %File could not be opened.  Error: %ErrorText."},
    {28, Severity::kNotice, "Record was not updated",
     "An error (%ErrorText) was experienced when making changes to the %File "
     "file."},
    {29, Severity::kFatal, "Key was not built",
     "Error: (%ErrorText) repairing key for %File."},
    {30, Severity::kNotice, "Invalid Key",
     "%File key file is invalid. Key must be rebuilt."},
    {36, Severity::kQuestion, "Record Delete Error",
     "An error was experienced deleting this record. Do you want to try to "
     "delete it again?"},
    {37, Severity::kQuestion, "Record Update Error",
     "An error was experienced changing this record. Do you want to try to "
     "save again?"},
    {38, Severity::kQuestion, "Save Record",
     "Do you want to save the changes to this record?"},
    {44, Severity::kNotice, "Unsupported QBE Column",
     "The saved QBE column, %Field is not supported. It will be dropped from "
     "the query."},
};

const MessageDefinition* Find(int number) {
  for (const auto& m : kMessages)
    if (m.number == number) return &m;
  return nullptr;
}

}  // namespace

const std::vector<MessageDefinition>& StandardMessages() { return kMessages; }

QString ExpandMessageText(const QString& text, const MessageArgs& args) {
  struct Placeholder {
    QLatin1StringView name;
    const QString* value;
  };
  const Placeholder placeholders[] = {
      {QLatin1StringView("%File"), &args.file},
      {QLatin1StringView("%Field"), &args.field},
      {QLatin1StringView("%Message"), &args.message},
      {QLatin1StringView("%ErrorText"), &args.error_text},
      {QLatin1StringView("%Key"), &args.key},
  };
  QString out;
  out.reserve(text.size() + 64);
  for (qsizetype i = 0; i < text.size();) {
    const QChar c = text.at(i);
    if (c == u'|') {
      out += u'\n';
      ++i;
      continue;
    }
    if (c == u'%') {
      bool replaced = false;
      for (const auto& p : placeholders) {
        if (QStringView(text).mid(i).startsWith(p.name)) {
          out += *p.value;
          i += p.name.size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    out += c;
    ++i;
  }
  return out;
}

MessageButton MessageBoxPresenter::Present(const ShownMessage& message) {
  QMessageBox box(message.icon == MessageIcon::kExclamation
                      ? QMessageBox::Warning
                      : QMessageBox::Information,
                  message.title, message.text, QMessageBox::NoButton,
                  QApplication::activeWindow());
  const std::pair<MessageButton, QMessageBox::StandardButton> map[] = {
      {kButtonOk, QMessageBox::Ok},
      {kButtonYes, QMessageBox::Yes},
      {kButtonNo, QMessageBox::No},
      {kButtonCancel, QMessageBox::Cancel},
  };
  for (const auto& [ours, theirs] : map) {
    if (message.buttons & ours) box.addButton(theirs);
    if (message.default_button == ours) box.setDefaultButton(theirs);
  }
  const int pressed = box.exec();
  for (const auto& [ours, theirs] : map)
    if (pressed == theirs) return ours;
  // Closed without a button (Esc or the close box): the safe answer.
  if (message.buttons & kButtonCancel) return kButtonCancel;
  if (message.buttons & kButtonNo) return kButtonNo;
  return kButtonOk;
}

ErrorManager::ErrorManager(std::unique_ptr<MessagePresenter> presenter)
    : presenter_(presenter ? std::move(presenter)
                           : std::make_unique<MessageBoxPresenter>()),
      halt_([] {
        QApplication::closeAllWindows();
        QCoreApplication::exit(1);
      }) {}

ErrorManager::~ErrorManager() = default;

void ErrorManager::SetPresenter(std::unique_ptr<MessagePresenter> presenter) {
  presenter_ = presenter ? std::move(presenter)
                         : std::make_unique<MessageBoxPresenter>();
}

void ErrorManager::SetHaltHandler(std::function<void()> halt) {
  halt_ = std::move(halt);
}

ShownMessage ErrorManager::Prepare(int number, const MessageArgs& args) const {
  ShownMessage shown;
  shown.number = number;
  const MessageDefinition* def = Find(number);
  if (def == nullptr) {
    shown.title = QStringLiteral("Unknown Error");
    shown.text = QStringLiteral("Message %1 is not defined.").arg(number);
    return shown;
  }
  shown.title = QString::fromUtf8(def->title);
  shown.text = ExpandMessageText(QString::fromUtf8(def->text), args);
  switch (def->severity) {
    case Severity::kQuestion:
      shown.icon = MessageIcon::kExclamation;
      shown.buttons = kButtonYes | kButtonNo;
      shown.default_button = kButtonYes;
      break;
    case Severity::kNotice:
      break;
    case Severity::kFatal:
      shown.text += QLatin1StringView(kFatalSuffix);
      break;
  }
  return shown;
}

Level ErrorManager::Throw(int number, const MessageArgs& args) {
  const MessageDefinition* def = Find(number);
  const MessageButton pressed = Show(Prepare(number, args));
  if (def == nullptr) return Level::kProgram;
  switch (def->severity) {
    case Severity::kQuestion:
      return pressed == kButtonYes ? Level::kBenign : Level::kCancel;
    case Severity::kNotice:
      return Level::kNotify;
    case Severity::kFatal:
      if (halt_) halt_();
      return Level::kFatal;
  }
  return Level::kProgram;
}

MessageButton ErrorManager::Ask(int number, const MessageArgs& args,
                                unsigned buttons,
                                MessageButton default_button) {
  ShownMessage shown = Prepare(number, args);
  shown.icon = MessageIcon::kExclamation;
  shown.buttons = buttons;
  shown.default_button = default_button;
  return Show(shown);
}

MessageButton ErrorManager::Show(const ShownMessage& message) {
  history_.push_back({procedures_.isEmpty() ? QString() : procedures_.last(),
                      message.number, message.text});
  if (history_.size() > kHistoryLimit) history_.erase(history_.begin());
  return presenter_->Present(message);
}

void ErrorManager::Announce(const QString& procedure) {
  procedures_.append(procedure);
}

void ErrorManager::Withdraw(const QString& procedure) {
  // The most recent announcement of that name: windows of one procedure may
  // be open twice.
  const qsizetype at = procedures_.lastIndexOf(procedure);
  if (at >= 0) procedures_.removeAt(at);
}

}  // namespace platform
