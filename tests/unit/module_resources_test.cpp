// The control lists and version strings the library carries.
#include "platform/module_resources.h"

#include <gtest/gtest.h>

namespace {

void ExpectCrLfText(const std::string& text) {
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "the last line ends with CR LF too";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
    }
    if (text[i] == '\r') {
      EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST(ControlLists, DeviceControlListIsCarriedByteForByte) {
  const auto text = platform::LoadOwnRcData(103);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), 221u);
  EXPECT_EQ(text->substr(0, 31), "/*\r\n * Vozi Device Control List");
  EXPECT_NE(text->find("helptopic = \"telegraphoverview\","), std::string::npos);
  EXPECT_EQ(text->substr(text->size() - 7), "{\r\n} \r\n") << "the closing brace keeps its trailing blank";
  ExpectCrLfText(*text);
}

TEST(ControlLists, InputAmpControlListIsCarriedByteForByte) {
  const auto text = platform::LoadOwnRcData(105);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), 347u);
  EXPECT_EQ(text->substr(0, 34), "/*\r\n * Vozi Input Amp Control List");
  EXPECT_NE(text->find("\r\n  \r\n// List of controls"), std::string::npos) << "line 11 holds two blanks";
  EXPECT_NE(text->find("   \"\", default, { hide(HideMe) }\r\n"), std::string::npos);
  ExpectCrLfText(*text);
}

TEST(ControlLists, UnknownIdsGiveNothing) {
  EXPECT_FALSE(platform::LoadOwnRcData(104).has_value());
  EXPECT_FALSE(platform::LoadOwnRcData(0).has_value());
}

TEST(VersionInfo, ShippedBuildIs112) {
  const auto info = platform::ReadOwnVersionInfo();
  ASSERT_TRUE(info.found);
  EXPECT_EQ(info.fileVersion, std::u16string(u"1.1.2"));
  EXPECT_EQ(info.fileDescription, std::u16string(u"Vozi"));
  EXPECT_EQ(info.fixedFileVersion[0], 1);
  EXPECT_EQ(info.fixedFileVersion[1], 1);
  EXPECT_EQ(info.fixedFileVersion[2], 2400);
  EXPECT_EQ(info.fixedFileVersion[3], 0);
}

}  // namespace
