#pragma once

#include <functional>
#include <string>

namespace zavex {

// Worker lifetime: an operation's state lives in a shared_ptr that the worker
// captures, so the owner may release its object while the worker still runs.
// The owner's destructor only asks the worker to stop; the worker frees the
// state when it ends. Callbacks must therefore capture shared or plain values
// (shared_ptr, HWND), never references into an owner that may go away first.

// Receives the Portuguese error text when no worker thread could be started.
using StartFailureCallback = std::function<void(const std::wstring& error)>;

// Runs body on a new thread that is detached at once. Nothing thrown by body
// leaves the thread. When no thread can be started, body never runs and
// onStartFailure is called on the calling thread instead, so the operation
// still reports through its completion.
void StartDetachedWorker(std::function<void()> body, const StartFailureCallback& onStartFailure);

// The result of operation(error); a standard exception escaping it becomes
// false with its message as the error text.
bool RunCatchingExceptions(const std::function<bool(std::wstring&)>& operation,
                           std::wstring& error);

}  // namespace zavex
