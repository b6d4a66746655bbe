#pragma once
// A test that runs vozi-host with simulators: orphans of the host (a
// simulator it failed to reap) become this process's children, where the
// test can see them, and none is left running after a failed test.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>

#include "host_process.h"

namespace hosttest {

class ReapingHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::filesystem::create_directory(tmp());
  }
  void TearDown() override {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  // TMPDIR for the host: where its temporary device tree goes.
  std::filesystem::path tmp() const { return t.Path() / "tmp"; }
  void ExpectTreeAndSimulatorsGone() {
    EXPECT_TRUE(std::filesystem::is_empty(tmp())) << "temporary device tree left behind";
    errno = 0;
    const pid_t child = waitpid(-1, nullptr, WNOHANG);
    EXPECT_TRUE(child == -1 && errno == ECHILD) << "a simulator outlived the host (pid " << child << ")";
  }

  TempFolder t;
};

}  // namespace hosttest
