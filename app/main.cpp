// Program entry: start-up, the main frame, shut-down (app/core/startup.h).
// Ravelin has no command line and no options of its own.
#include <QApplication>

#include "app/core/startup.h"
#include "app/frame/help_bundle.h"
#include "app/frame/main_frame.h"
#include "platform/drag_setting.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ravelin"));
  QApplication::setApplicationVersion(QStringLiteral("3.0.4"));
  ravelin::InitHelpBundle();

  platform::SessionDragSetting drag;
  ravelin::ProgramParts parts;
  parts.drag = &drag;
  ravelin::Program program(std::move(parts));
  return program.Run(ravelin::RunMainFrame);
}
