#include "app/core/thread_context.h"

namespace ravelin {

ThreadContext::ThreadContext(QString procedure, int stack_size,
                             platform::GlobalServices services,
                             platform::WindowHost* host, bool first_thread)
    : WindowContext(std::move(procedure), stack_size, services, host),
      first_thread_(first_thread) {}

ThreadContext::~ThreadContext() = default;

void ThreadContext::SetUpDictionary() {
  if (!dictionary_) dictionary_ = std::make_unique<DictionaryInstance>();
}

void ThreadContext::OnStart() {
  if (!first_thread_) SetUpDictionary();
}

void ThreadContext::OnEnd() { dictionary_.reset(); }

ThreadContext* StartProcedure(const ProcedureSpec& procedure, platform::GlobalServices services,
                              platform::WindowHost* host) {
  auto* context = new ThreadContext(procedure.name, procedure.stack_size, services, host);
  context->Start();
  if (procedure.run) procedure.run(*context);
  context->ProcedureReturned();
  return context;
}

}  // namespace ravelin
