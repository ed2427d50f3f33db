#pragma once
// A blocking parallel loop over an index range, on a process-wide pool of worker threads sized to
// the processor count.
//
// The calling thread takes part in the work, so a body that itself calls concurrentPerform never
// waits for a worker that is busy with its own caller: nested loops always make progress.
//
// Thread safety: callable from any thread, concurrently. The body is called from several threads
// at once and must be safe for that. If a body throws, the remaining iterations still run and the
// first exception is rethrown on the caller's thread once every iteration has finished.

#include <cstddef>
#include <functional>

namespace vornelo::platform {

// Calls body(i) for every i in [0, iterations) and returns when all calls have returned.
void concurrentPerform(std::size_t iterations, const std::function<void(std::size_t)>& body);

// The number of worker threads in the pool (the caller's thread not counted).
[[nodiscard]] std::size_t concurrentPerformWorkerCount();

}  // namespace vornelo::platform
