#pragma once
// What every end-to-end suite does as the host: drive Vozi.kycdll, loaded
// once per process by wintest::LoadedLibrary (LoadLibraryW beside this
// program, exports by plain name, host services registered first), and start
// and end each test with an empty device table.
#include <gtest/gtest.h>

#include <string>

#include "support/loaded_library.h"

namespace e2e {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wintest::LoadedLibrary::Get().Loaded()) << "LoadLibraryW failed";
    fn().CloseAll();
  }
  void TearDown() override {
    if (wintest::LoadedLibrary::Get().Loaded()) fn().CloseAll();
  }

  static const wintest::Exports& fn() { return wintest::LoadedLibrary::Get().Fn(); }

  // The index FindDevice gives, or -1 when it finds nothing.
  static int32_t Find() {
    int32_t index = -1;
    return fn().FindDevice(&index) == 1 ? index : -1;
  }

  // A text command's reply; the command must succeed.
  static std::string Text(int32_t index, int32_t code, int32_t argument = 0) {
    char reply[1024] = "";
    CommandRecord record{};
    record.reply = reply;
    record.replySize = sizeof reply;
    record.argument = argument;
    EXPECT_EQ(fn().DeviceCommand(index, code, &record), 1) << "command " << code;
    return reply;
  }

  static bool Command(int32_t index, int32_t code, int32_t argument = 0) {
    CommandRecord record{};
    record.argument = argument;
    return fn().DeviceCommand(index, code, &record) == 1;
  }

  // GetLastErrorMsg as a host calls it: the length first, then a buffer of
  // that size. Also checks that exactly length bytes (the text and its zero)
  // were written and not one more.
  static std::string Message(int32_t index, int32_t* lengthOut = nullptr) {
    const int32_t length = fn().GetLastErrorMsg(index, nullptr);
    if (lengthOut) *lengthOut = length;
    if (length <= 0) return "<length " + std::to_string(length) + ">";
    std::string buffer(static_cast<size_t>(length) + 16, '\x7F');
    EXPECT_EQ(fn().GetLastErrorMsg(index, buffer.data()), length);
    EXPECT_EQ(buffer[static_cast<size_t>(length) - 1], '\0') << "the zero ends the given length";
    EXPECT_EQ(buffer.substr(static_cast<size_t>(length)), std::string(16, '\x7F'))
        << "written past the length";
    return buffer.substr(0, static_cast<size_t>(length) - 1);
  }
};

}  // namespace e2e
