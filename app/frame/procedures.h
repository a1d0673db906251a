// The window procedures the frame's commands start, by name, with their
// stack sizes. The windows that are not written yet start a placeholder: a
// child window titled with the procedure name and nothing else.
#pragma once

#include <QString>
#include <optional>

#include "app/core/thread_context.h"

namespace ravelin {

inline constexpr int kItemsBrowseStack = 50000;

std::optional<ProcedureSpec> FindProcedure(const QString& name);

// A child window titled `context.procedure()` in the context's host.
void RunPlaceholder(ThreadContext& context);

}  // namespace ravelin
