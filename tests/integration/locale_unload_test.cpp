// The host's C runtime locale across the library's life: loading it and
// letting it set up its number format, then unloading it, must leave every
// category the library did not set as the host had it. Played in a fresh
// process (this program started again), so that no earlier load of the
// library in this one has set up its locale already.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vozi_enabler.h"

namespace {

constexpr const char* kChildVariable = "VOZI_LOCALE_UNLOAD_HOST";

std::string Categories() {
  std::string out;
  for (const auto& [name, category] : {std::pair{"ctype", LC_CTYPE}, std::pair{"numeric", LC_NUMERIC},
                                       std::pair{"time", LC_TIME}, std::pair{"collate", LC_COLLATE},
                                       std::pair{"messages", LC_MESSAGES}}) {
    const char* value = std::setlocale(category, nullptr);
    out += std::string(name) + "=" + (value != nullptr ? value : "?") + ";";
  }
  return out;
}

// The host: its own character type, time and message settings, then the
// library loaded, set up through an export, and unloaded.
int PlayHost() {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::setlocale(LC_TIME, "C.UTF-8");
  std::setlocale(LC_MESSAGES, "C.UTF-8");
  std::printf("before %s\n", Categories().c_str());
  void* library = dlopen(VOZI_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("dlopen failed: %s\n", dlerror());
    return 2;
  }
  auto message = reinterpret_cast<decltype(&GetLastErrorMsg)>(dlsym(library, "GetLastErrorMsg"));
  if (message == nullptr) return 3;
  // The first narrow text handed over sets the locale up.
  char text[1024];
  const int32_t size = message(-1, nullptr);
  if (size <= 0 || size > static_cast<int32_t>(sizeof text)) return 4;
  message(-1, text);
  std::printf("loaded %s\n", Categories().c_str());
  dlclose(library);
  std::printf("unloaded %s\n", Categories().c_str());
  std::fflush(stdout);
  return 0;
}

[[maybe_unused]] const bool kPlayedHost = [] {
  if (std::getenv(kChildVariable) != nullptr) _exit(PlayHost());
  return false;
}();

TEST(LocaleUnload, HostCategoriesSurviveAndTheNumericOneIsPutBack) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  // The user's locale in the environment gives the set-up a numeric locale
  // to change.
  const std::string command = std::string(kChildVariable) + "=1 LC_ALL=C.UTF-8 '" + self + "'";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
  ASSERT_EQ(pclose(child), 0) << output;

  const std::string host = "ctype=C.UTF-8;numeric=C;time=C.UTF-8;collate=C;messages=C.UTF-8;";
  EXPECT_NE(output.find("before " + host), std::string::npos) << output;
  EXPECT_NE(output.find("loaded ctype=C.UTF-8;numeric=C.UTF-8;time=C.UTF-8;"), std::string::npos)
      << output;
  EXPECT_NE(output.find("unloaded " + host), std::string::npos) << output;
}

}  // namespace
