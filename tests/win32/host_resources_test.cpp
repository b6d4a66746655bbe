// The resources of the built Vozi.kycdll, read from the loaded module with the
// plain Win32 resource and version functions (independently of the library's
// own resource code): the two control lists byte for byte and the version
// block as the host reads it.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/loaded_library.h"
#include "support/serial_peer.h"

namespace {

using wintest::LoadedLibrary;

HMODULE Module() { return static_cast<HMODULE>(LoadedLibrary::Get().Module()); }

std::string RcData(int id) {
  const HRSRC found = FindResourceW(Module(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
  if (found == nullptr) return "<missing>";
  const DWORD size = SizeofResource(Module(), found);
  const void* data = LockResource(LoadResource(Module(), found));
  return std::string(static_cast<const char*>(data), size);
}

TEST(HostResourcesTest, ControlListsAreStoredByteForByte) {
  ASSERT_TRUE(LoadedLibrary::Get().Loaded());
  const std::string device = RcData(103);
  const std::string inputAmp = RcData(105);
  EXPECT_EQ(device.size(), 221u);
  EXPECT_EQ(inputAmp.size(), 347u);
  EXPECT_EQ(device, wintest::ReadSourceFile(VOZI_DEVICE_CONTROLS_FILE));
  EXPECT_EQ(inputAmp, wintest::ReadSourceFile(VOZI_INPUT_AMP_CONTROLS_FILE));
  const std::string firstLines = "/*\r\n * Vozi Device Control List\r\n";
  EXPECT_EQ(device.substr(0, firstLines.size()), firstLines);
  EXPECT_EQ(inputAmp.substr(inputAmp.size() - 3), "}\r\n");
}

// --- Version block --------------------------------------------------------

// One node of a VS_VERSIONINFO tree: length, value length, type, key, value
// and children, each aligned to 4 bytes.
struct VersionNode {
  std::wstring key;
  const uint8_t* value = nullptr;
  uint16_t valueLength = 0;  // characters for text values, bytes otherwise
  std::vector<VersionNode> children;
};

size_t Align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

VersionNode ParseNode(const uint8_t* base, size_t offset, size_t end) {
  VersionNode node;
  const uint16_t length = *reinterpret_cast<const uint16_t*>(base + offset);
  node.valueLength = *reinterpret_cast<const uint16_t*>(base + offset + 2);
  const uint16_t type = *reinterpret_cast<const uint16_t*>(base + offset + 4);
  const wchar_t* key = reinterpret_cast<const wchar_t*>(base + offset + 6);
  node.key = key;
  size_t cursor = Align4(offset + 6 + (node.key.size() + 1) * 2);
  const size_t nodeEnd = std::min(end, offset + length);
  if (node.valueLength > 0) {
    node.value = base + cursor;
    cursor = Align4(cursor + node.valueLength * (type == 1 ? 2 : 1));
  }
  while (cursor + 6 < nodeEnd) {
    const uint16_t childLength = *reinterpret_cast<const uint16_t*>(base + cursor);
    if (childLength == 0) break;
    node.children.push_back(ParseNode(base, cursor, nodeEnd));
    cursor = Align4(cursor + childLength);
  }
  return node;
}

const VersionNode* Child(const VersionNode& node, const std::wstring& key) {
  for (const auto& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

class HostVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadedLibrary::Get().Loaded());
    const HRSRC found = FindResourceW(Module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    ASSERT_NE(found, nullptr) << "no version resource with id 1";
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(Module(), found)));
    block_.assign(data, data + SizeofResource(Module(), found));
    root_ = ParseNode(block_.data(), 0, block_.size());
  }
  std::vector<uint8_t> block_;
  VersionNode root_;
};

TEST_F(HostVersionTest, FixedFileInformation) {
  ASSERT_EQ(root_.key, L"VS_VERSION_INFO");
  ASSERT_EQ(root_.valueLength, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, root_.value, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, (1u << 16) | 1u);
  EXPECT_EQ(fixed.dwFileVersionLS, 2400u << 16);
  EXPECT_EQ(fixed.dwProductVersionMS, (uint32_t{VOZI_TEST_PV0} << 16) | VOZI_TEST_PV1);
  EXPECT_EQ(fixed.dwProductVersionLS, (uint32_t{VOZI_TEST_PV2} << 16) | VOZI_TEST_PV3);
  EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed.dwFileFlags, 0u);
  EXPECT_EQ(fixed.dwFileOS, 0x40004u);
  EXPECT_EQ(fixed.dwFileType, 2u);
  EXPECT_EQ(fixed.dwFileSubtype, 0u);
  EXPECT_EQ(fixed.dwFileDateMS, 0u);
  EXPECT_EQ(fixed.dwFileDateLS, 0u);
}

// One string table, "040904E4", with exactly these keys in this order, and a
// translation pair that matches it.
TEST_F(HostVersionTest, StringTableKeysInOrderAndTranslation) {
  const VersionNode* strings = Child(root_, L"StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u);
  const VersionNode& table = strings->children[0];
  EXPECT_EQ(table.key, L"040904E4");
  std::vector<std::wstring> keys;
  for (const auto& entry : table.children) keys.push_back(entry.key);
  const std::vector<std::wstring> expected = {
      L"BuildDate",     L"CompanyName",  L"ExtensionCLSID",  L"ExtVersion",       L"ExtensionType",
      L"FileDescription", L"FileVersion", L"InternalID",     L"InternalName",     L"InternalVersion",
      L"OriginalFilename", L"ProductName", L"ProductVersion"};
  EXPECT_EQ(keys, expected);

  const VersionNode* variables = Child(root_, L"VarFileInfo");
  ASSERT_NE(variables, nullptr);
  const VersionNode* translation = Child(*variables, L"Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->valueLength, 4u);
  const auto* pair = reinterpret_cast<const uint16_t*>(translation->value);
  EXPECT_EQ(pair[0], 0x0409);
  EXPECT_EQ(pair[1], 1252);
}

// The values as the version API gives them to the host.
TEST_F(HostVersionTest, StringValues) {
  const std::wstring& path = LoadedLibrary::Get().Path();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  auto value = [&](const wchar_t* key) -> std::wstring {
    void* text = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904E4\\") + key;
    if (!VerQueryValueW(info.data(), query.c_str(), &text, &length) || text == nullptr) return L"<missing>";
    return static_cast<const wchar_t*>(text);
  };
  const std::pair<const wchar_t*, const wchar_t*> fixed[] = {
      {L"CompanyName", L"Norvatek"},
      {L"ExtensionCLSID", L"{B6D4ABFC-A1CD-4886-99CD-51A11D194A44}"},
      {L"ExtVersion", L"1.1.2"},
      {L"ExtensionType", L"DeviceEnabler"},
      {L"FileDescription", L"Vozi"},
      {L"FileVersion", L"1.1.2"},
      {L"InternalID", L"1"},
      {L"InternalName", L"Vozi"},
      {L"OriginalFilename", L"Vozi.kycdll"},
      {L"ProductName", L"Kymora"},
  };
  for (const auto& [key, expected] : fixed) EXPECT_EQ(value(key), expected) << key;
  for (const wchar_t* key : {L"BuildDate", L"InternalVersion", L"ProductVersion"}) {
    EXPECT_NE(value(key), L"<missing>") << key;
    EXPECT_FALSE(value(key).empty()) << key;
  }
}

}  // namespace
