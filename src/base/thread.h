#pragma once
// The one way to start a detached thread: what the body throws is caught and logged with the
// thread's name, and live threads are counted so shutdown can wait for them (bounded) instead
// of polling. A thread that must be joined belongs to an owner that joins it; this is for the
// fire-and-forget kind (request workers, reapers, player threads).
//
// A detached body must hold shared ownership of everything it touches (see DESIGN section 6).
#include <chrono>
#include <functional>
#include <string>

namespace base {

// Starts body on a new detached thread; false (and nothing runs) when no thread could be made.
bool StartDetachedThread(const char* name, std::function<void()> body);

// How many threads started here have not finished yet.
int LiveDetachedThreads();

// Waits until every detached thread has finished or timeout passes; true when none is left.
bool WaitForDetachedThreads(std::chrono::milliseconds timeout);

}  // namespace base
