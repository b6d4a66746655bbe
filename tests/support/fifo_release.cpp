#include "support/fifo_release.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <thread>

namespace testing_support {

void MakeFifo(const std::string& path) {
  std::remove(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path << " failed";
}

bool EndsWithin(std::chrono::milliseconds bound, const std::function<void()>& call,
                const std::vector<std::string>& fifos) {
  std::packaged_task<void()> task(call);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  const bool inTime = done.wait_for(bound) == std::future_status::ready;
  while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    // A writer that comes and goes lets a blocked open return; the reader
    // then sees the end of the file.
    for (const std::string& fifo : fifos) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
  }
  runner.join();
  done.get();
  return inTime;
}

}  // namespace testing_support
