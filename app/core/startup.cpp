#include "app/core/startup.h"

#include <QApplication>

#include "app/core/artwork.h"
#include "app/core/thread_context.h"
#include "platform/drag_setting.h"
#include "platform/error_manager.h"
#include "platform/fuzzy_matcher.h"
#include "platform/help.h"
#include "platform/settings_manager.h"

namespace ravelin {

QStringList ProgramParts::DefaultHelpFolders() {
  return platform::HelpSystem::DefaultSearchFolders();
}

Program::Program(ProgramParts parts) : parts_(std::move(parts)) {}

Program::~Program() = default;

void Program::Trace(const char* step) const {
  if (parts_.trace) parts_.trace(step);
}

platform::GlobalServices Program::services() const {
  return {errors_.get(), settings_.get(), help_.get(), fuzzy_.get()};
}

int Program::Run(const std::function<int(ThreadContext& main)>& main_procedure) {
  // 1. The runtime and the main thread's start hook.
  ThreadContext main(QStringLiteral("Main"), ThreadContext::kDefaultStack, {},
                     nullptr, /*first_thread=*/true);
  main.set_delete_when_ended(false);
  main.Start();
  Trace("runtime");

  // 2. The help file.
  help_ = std::make_unique<platform::HelpSystem>(parts_.help_folders);
  help_->Register(QString::fromLatin1(kHelpFile));
  Trace("help file");

  // 3. The error manager; a fatal message ends the frame's run, not the
  // process, so that shut-down below still puts things back.
  errors_ = std::make_unique<platform::ErrorManager>(std::move(parts_.presenter));
  errors_->SetHaltHandler([this] {
    halted_ = true;
    QApplication::closeAllWindows();
    QCoreApplication::exit(1);
  });
  Trace("error manager");

  // 4. The fuzzy matcher.
  fuzzy_ = std::make_unique<platform::FuzzyMatcher>();
  fuzzy_->Init();
  fuzzy_->SetOption(platform::FuzzyMatcher::kIgnoreCase, true);
  fuzzy_->SetOption(platform::FuzzyMatcher::kWordOnly, false);
  Trace("fuzzy matcher");

  // 5. The settings manager.
  settings_ = std::make_unique<platform::SettingsManager>(QString::fromLatin1(kSettingsName));
  Trace("settings manager");

  // 6. The main thread's data dictionary. (The context was made before the
  // services existed; it gets them now.)
  main.SetUpDictionary();
  main.SetServices(services());
  Trace("dictionary");

  // 7. The program icon.
  QApplication::setWindowIcon(ProgramIcon());
  Trace("icon");

  // 8. The drag setting.
  int result = 0;
  {
    platform::DragSettingGuard drag(*parts_.drag);
    Trace("drag setting");

    // 9. The main frame.
    result = main_procedure(main);
    Trace("main frame ended");

    // 10. The drag setting back as it was.
    drag.Restore();
    Trace("drag setting restored");
  }
  main.ProcedureReturned();

  // 11. The settings manager.
  settings_->Kill();
  settings_.reset();
  Trace("settings manager released");

  // 12. The fuzzy matcher.
  fuzzy_->Kill();
  fuzzy_.reset();
  Trace("fuzzy matcher released");
  return halted_ ? 1 : result;
}

}  // namespace ravelin
