#pragma once
// The threads of this process as the kernel lists them (/proc/self/task),
// and the CPU time and scheduling state of one of them. The simulated
// instruments, the devices' reader threads and the host threads all live in
// this process, so a thread left running shows up here.
#include <sys/types.h>

#include <optional>
#include <set>

namespace soak {

std::set<pid_t> Threads();
// CPU time (user + system) the thread has used so far, in seconds, with
// nanosecond resolution; nullopt once the thread is gone.
std::optional<double> ThreadCpuSeconds(pid_t tid);
// The scheduler's state letter of the thread ('R' running, 'S' sleeping,
// ...); nullopt once it is gone.
std::optional<char> ThreadState(pid_t tid);

}  // namespace soak
