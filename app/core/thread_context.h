// ThreadContext: the program's per-window context (see
// platform/window_context.h for how a window's "thread" maps onto a context
// on the GUI thread). On top of the request and response codes it holds the
// context's own instances of the three tables, created by the thread start
// hook and released by the thread end hook.
//
// StartProcedure() is what every frame command does: make a fresh context,
// run its start hook, run the procedure on it, and return. The caller keeps
// no record; the context ends itself when its last window is gone.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "app/core/data_dictionary.h"
#include "platform/window_context.h"

namespace ravelin {

class ThreadContext : public platform::WindowContext {
  Q_OBJECT
 public:
  inline static constexpr int kDefaultStack = 25000;

  ThreadContext(QString procedure, int stack_size, platform::GlobalServices services,
                platform::WindowHost* host = nullptr, bool first_thread = false);
  ~ThreadContext() override;

  // The data dictionary set-up for this context. The start hook runs it for
  // every context but the first; start-up runs it for the first.
  void SetUpDictionary();
  // Null before set-up and after tear-down.
  DictionaryInstance* dictionary() const { return dictionary_.get(); }

 protected:
  void OnStart() override;
  void OnEnd() override;

 private:
  bool first_thread_;
  std::unique_ptr<DictionaryInstance> dictionary_;
};

struct ProcedureSpec {
  QString name;
  int stack_size = ThreadContext::kDefaultStack;
  std::function<void(ThreadContext&)> run;
};

// Starts `procedure` on a context of its own and returns at once. The pointer is
// only good until the context ends; callers normally drop it.
ThreadContext* StartProcedure(const ProcedureSpec& procedure, platform::GlobalServices services,
                              platform::WindowHost* host);

}  // namespace ravelin
