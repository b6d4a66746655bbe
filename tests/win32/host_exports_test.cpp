// Vozi.kycdll as the host sees it: loaded by path, its sixteen entry points
// found by plain name, called with the cdecl convention, answering an empty
// device table with the fixed values.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

#include "support/loaded_library.h"

namespace {

using wintest::LoadedLibrary;

class HostExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib().Loaded()) << "LoadLibraryW failed, error " << GetLastError();
  }
  static LoadedLibrary& lib() { return LoadedLibrary::Get(); }
  static const wintest::Exports& fn() { return LoadedLibrary::Get().Fn(); }
};

TEST_F(HostExportsTest, AllSixteenResolveByPlainName) {
  const HMODULE module = static_cast<HMODULE>(lib().Module());
  for (const char* name : wintest::kExportNames) {
    EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
  }
  // Decorated spellings would mean the .def file was not applied.
  EXPECT_EQ(GetProcAddress(module, "_IsFailed"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "IsFailed@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_IsFailed@4"), nullptr);
}

// cdecl: the caller removes the arguments. A callee that removed them too
// (stdcall) would leave the host's stack pointer off by the argument bytes.
// The call is made by hand so that the compiler cannot restore the stack
// pointer from the frame and hide the difference.
struct Call {
  void* function;
  int32_t first;
  int32_t second;
};

uint32_t StackImbalanceOneArgument(const Call& call) {
  uint32_t imbalance;
  asm volatile(
      "movl %%esp, %%edi\n\t"
      "pushl 4(%1)\n\t"
      "call *(%1)\n\t"
      "addl $4, %%esp\n\t"
      "subl %%esp, %%edi\n\t"
      "movl %%edi, %0\n\t"
      : "=r"(imbalance)
      : "r"(&call)
      : "eax", "ecx", "edx", "edi", "memory", "cc");
  return imbalance;
}

uint32_t StackImbalanceTwoArguments(const Call& call) {
  uint32_t imbalance;
  asm volatile(
      "movl %%esp, %%edi\n\t"
      "pushl 8(%1)\n\t"
      "pushl 4(%1)\n\t"
      "call *(%1)\n\t"
      "addl $8, %%esp\n\t"
      "subl %%esp, %%edi\n\t"
      "movl %%edi, %0\n\t"
      : "=r"(imbalance)
      : "r"(&call)
      : "eax", "ecx", "edx", "edi", "memory", "cc");
  return imbalance;
}

TEST_F(HostExportsTest, EntryPointsUseTheCdeclConvention) {
  // The measurement itself sees a callee that removes its argument (Sleep is
  // stdcall), so a zero below means something.
  ASSERT_EQ(StackImbalanceOneArgument({reinterpret_cast<void*>(&Sleep), 0, 0}), uint32_t(-4));
  EXPECT_EQ(StackImbalanceOneArgument({reinterpret_cast<void*>(fn().IsFailed), 3, 0}), 0u);
  EXPECT_EQ(StackImbalanceOneArgument({reinterpret_cast<void*>(fn().GetBaudRate), 3, 0}), 0u);
  EXPECT_EQ(StackImbalanceTwoArguments({reinterpret_cast<void*>(fn().CanUseBaudRate), 3, 9600}), 0u);
}

// Exactly 16 GUID bytes, then the two text pointers; nothing around them is
// touched, and the same constant texts come back on every call.
TEST_F(HostExportsTest, DeviceClassInfoBytes) {
  uint8_t record[40];
  std::memset(record, 0xCC, sizeof record);
  ASSERT_EQ(fn().GetDeviceClassInfo(reinterpret_cast<DeviceClassInfo*>(record + 4)), 1);
  const uint8_t guid[16] = {0x67, 0xD2, 0x40, 0xA4, 0xC2, 0xD1, 0x34, 0x4C,
                            0x8E, 0xE8, 0xA6, 0x42, 0xEB, 0x10, 0xB7, 0x17};
  EXPECT_EQ(std::memcmp(record + 4, guid, 16), 0);
  const wchar_t* displayName;
  const wchar_t* shortName;
  std::memcpy(&displayName, record + 4 + 16, 4);
  std::memcpy(&shortName, record + 4 + 20, 4);
  EXPECT_EQ(std::wstring(displayName), L"Vozi Devices");
  EXPECT_EQ(std::wstring(shortName), L"Vozi");
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(record[i], 0xCC) << "byte before the record";
  for (int i = 28; i < 40; ++i) EXPECT_EQ(record[i], 0xCC) << "byte " << i << " after the record";

  DeviceClassInfo again{};
  ASSERT_EQ(fn().GetDeviceClassInfo(&again), 1);
  EXPECT_EQ(reinterpret_cast<const void*>(again.displayName), displayName);
  EXPECT_EQ(reinterpret_cast<const void*>(again.shortName), shortName);
}

// With no device: the fixed answers, no out value written, no wait.
TEST_F(HostExportsTest, EmptyTableAnswers) {
  ASSERT_EQ(fn().CloseAll(), 1);
  for (int32_t index : {0, 1, -1, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(fn().IsFailed(index), 1);
    EXPECT_EQ(fn().Initialise(index), 0);
    EXPECT_EQ(fn().CanUseBaudRate(index, 115200), 0);
    EXPECT_EQ(fn().GetBaudRate(index), 0);
    EXPECT_EQ(fn().ReadBuffSize(index), 0);
    int32_t uniqueId = 0x5A5A5A5A;
    EXPECT_EQ(fn().GetUniqueID(index, &uniqueId), 0);
    EXPECT_EQ(uniqueId, 0x5A5A5A5A);
    char line[8] = "unset";
    EXPECT_EQ(fn().ReadLine(index, line, 8, 1000), 0);
    EXPECT_EQ(fn().ReadBuffer(index, line, 8, 1000), 0);
    EXPECT_STREQ(line, "unset");
    CommandRecord record{};
    EXPECT_EQ(fn().DeviceCommand(index, VOZI_GET_MODEL_NAME, &record), 0);
    fn().SetBaudRate(index, 9600);
    fn().FlushReadBuffer(index);
    EXPECT_EQ(fn().WriteBuffer(index, "abc", 3), 0);
    if (index != -1) {
      EXPECT_EQ(fn().GetLastErrorMsg(index, line), 0);
    }
  }
}

// Without any Vozi adapter (no FTDI driver under Wine) discovery finds
// nothing, writes no index, and the no-device message is handed over as
// narrow text by the copy rule: exactly length - 1 bytes and a zero.
TEST_F(HostExportsTest, NothingFoundAndItsMessage) {
  int32_t index = 77;
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(index, 77);

  const std::string notFound =
      "The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora.";
  const std::string notInstalled =
      "The Vozi Device driver is not installed.\nPlease plug in your Vozi Device and restart Kymora.\n"
      "\nRefer to the Vozi Device Enabler Installation Guide\nif you continue to see this message.";
  const int32_t length = fn().GetLastErrorMsg(-1, nullptr);
  ASSERT_TRUE(length == 85 || length == 183) << length;
  EXPECT_EQ(fn().GetLastErrorMsg(-1, nullptr), length) << "asking twice gives the same answer";
  const std::string& expected = length == 85 ? notFound : notInstalled;

  std::string buffer(length + 8, '\x7F');
  EXPECT_EQ(fn().GetLastErrorMsg(-1, buffer.data()), length);
  EXPECT_EQ(buffer.substr(0, length - 1), expected);
  EXPECT_EQ(buffer[length - 1], '\0');
  EXPECT_EQ(buffer.substr(length), std::string(8, '\x7F')) << "written past the length";
}

// Process attach asked the host (method 51) and, for a release build, did
// not report a version (method 57). A reload attaches again; the table
// starts empty.
TEST_F(HostExportsTest, AttachAsksTheHostOnceAndReportsNothing) {
  EXPECT_EQ(lib().Calls().method51.load(), 1);
  EXPECT_EQ(lib().Calls().method57.load(), 0);
  ASSERT_TRUE(lib().Reload());
  EXPECT_EQ(lib().Calls().method51.load(), 2);
  EXPECT_EQ(lib().Calls().method57.load(), 0);
  EXPECT_EQ(fn().IsFailed(0), 1);
}

}  // namespace
