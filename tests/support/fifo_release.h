#pragma once
// For tests of code that must never wait on a FIFO: a reader that opens a FIFO
// waits until some process opens it for writing, for ever if none does. Such
// a test runs the call on a thread of its own, and when the call has not ended
// in time it fails and then releases the reader, so that the run goes on.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Makes a FIFO at path (replacing whatever is there). Fails the test when it
// cannot.
void MakeFifo(const std::string& path);

// Runs call on its own thread and waits at most bound for it. A call still
// running then is taken to be blocked on one of the FIFOs: each is opened for
// writing and closed again, repeatedly, until the call has returned. True when
// the call ended within the bound.
bool EndsWithin(std::chrono::milliseconds bound, const std::function<void()>& call,
                const std::vector<std::string>& fifos);

}  // namespace testing_support
