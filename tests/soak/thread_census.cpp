#include "thread_census.h"

#include <dirent.h>
#include <time.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace soak {

std::set<pid_t> Threads() {
  std::set<pid_t> tids;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return tids;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(dir);
  return tids;
}

std::optional<double> ThreadCpuSeconds(pid_t tid) {
  // Linux names the CPU clock of any thread of the calling process by its
  // thread id: ~tid << 3, "per thread" (4), "scheduler time" (2). Unlike the
  // tick counts of /proc/.../stat it resolves nanoseconds, which a parked
  // thread's few wake-ups need.
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 4 | 2);
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return std::nullopt;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<char> ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return std::nullopt;
  // "tid (name) S ...": the name may hold spaces and parentheses, so look
  // after the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
  return text[close + 2];
}

}  // namespace soak
