// Program: start-up and shut-down around the main frame.
//
// Start-up, in this order:
//   1. the runtime is ready (the QApplication exists); the main thread's
//      context is made and its start hook run (codes cleared);
//   2. "ravelin.chm" is registered as the program's help file (nothing shown);
//   3. the error manager is made;
//   4. the fuzzy matcher is initialised, option 1 on and option 2 off;
//   5. the settings manager is opened on "ravelin" (INI form);
//   6. the data dictionary is set up for the main context (no table opened);
//   7. the program icon becomes the default icon of every window;
//   8. the drag setting is read and, when on (1), switched off;
//   9. the main procedure (the frame) runs until it is closed;
// Shut-down:
//  10. the drag setting is switched on again if it was on at step 8;
//  11. the settings manager is released (it writes its bookkeeping section);
//  12. the fuzzy matcher is released.
// A fatal message while the frame runs closes every window and leaves the
// event loop, so shut-down still runs and the drag setting is put back.
//
// Step names are reported to an optional trace so the order can be checked.
#pragma once

#include <QStringList>
#include <functional>
#include <memory>

#include "platform/error_manager.h"
#include "platform/window_context.h"

namespace platform {
class DragSetting;
class ErrorManager;
class FuzzyMatcher;
class HelpSystem;
class SettingsManager;
}  // namespace platform

namespace ravelin {

class ThreadContext;

inline constexpr const char* kHelpFile = "ravelin.chm";
inline constexpr const char* kSettingsName = "ravelin";

struct ProgramParts {
  platform::DragSetting* drag = nullptr;  // required
  std::unique_ptr<platform::MessagePresenter> presenter;  // null: message boxes
  QStringList help_folders = DefaultHelpFolders();
  std::function<void(const char* step)> trace;

  static QStringList DefaultHelpFolders();
};

class Program {
 public:
  explicit Program(ProgramParts parts);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Runs start-up, then `main_procedure` on the main context, then shut-down.
  // Returns the main procedure's result (1 after a fatal message).
  int Run(const std::function<int(ThreadContext& main)>& main_procedure);

  // The process-wide services; valid from their start-up step to the end of
  // Run (the error manager and help system until the Program goes).
  platform::GlobalServices services() const;
  bool halted() const { return halted_; }

 private:
  void Trace(const char* step) const;

  ProgramParts parts_;
  std::unique_ptr<platform::HelpSystem> help_;
  std::unique_ptr<platform::ErrorManager> errors_;
  std::unique_ptr<platform::FuzzyMatcher> fuzzy_;
  std::unique_ptr<platform::SettingsManager> settings_;
  bool halted_ = false;
};

}  // namespace ravelin
