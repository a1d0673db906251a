#include "app/frame/procedures.h"

#include <QLabel>
#include <QMdiSubWindow>
#include <QVBoxLayout>

#include "app/frame/about_window.h"

namespace ravelin {

void RunPlaceholder(ThreadContext& context) {
  if (context.host() == nullptr) return;
  auto* content = new QWidget;
  content->setAttribute(Qt::WA_DeleteOnClose);
  content->setWindowTitle(context.procedure());
  content->resize(320, 200);
  QMdiSubWindow* window = context.host()->AddChildWindow(content);
  context.OpenWindow(window, QString(), true, QString());
  window->show();
}

std::optional<ProcedureSpec> FindProcedure(const QString& name) {
  struct Entry {
    const char* name;
    int stack;
    void (*run)(ThreadContext&);
  };
  static const Entry kProcedures[] = {
      {"speedadd", ThreadContext::kDefaultStack, RunPlaceholder},
      {"Listitems", kItemsBrowseStack, RunPlaceholder},
      {"checklistbrws", ThreadContext::kDefaultStack, RunPlaceholder},
      {"selectlist", ThreadContext::kDefaultStack, RunPlaceholder},
      {"selectlist3", ThreadContext::kDefaultStack, RunPlaceholder},
      {"selectlist1", ThreadContext::kDefaultStack, RunPlaceholder},
      {"about", ThreadContext::kDefaultStack, RunAbout},
  };
  for (const Entry& e : kProcedures)
    if (name == QLatin1StringView(e.name))
      return ProcedureSpec{QString::fromLatin1(e.name), e.stack, e.run};
  return std::nullopt;
}

}  // namespace ravelin
