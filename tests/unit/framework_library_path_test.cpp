// Where Bex.dll is looked for, and the message that names it when it is not
// there.
#include <gtest/gtest.h>

#include <string>

#include "platform/host_services.h"

namespace {

using platform::FrameworkLibraryPath;
using platform::FrameworkLoadFailureText;

TEST(FrameworkLibraryPath, ReplacesFileNameAndExtensionOnly) {
  EXPECT_EQ(FrameworkLibraryPath(u"C:\\Program Files\\Kymora\\Kymora.exe"),
            u"C:\\Program Files\\Kymora\\Bex.dll");
  EXPECT_EQ(FrameworkLibraryPath(u"\\\\server\\share\\kymo.v7\\host"),
            u"\\\\server\\share\\kymo.v7\\Bex.dll");
  EXPECT_EQ(FrameworkLibraryPath(u"Z:/opt/kymora/host.exe"), u"Z:/opt/kymora/Bex.dll");
  EXPECT_EQ(FrameworkLibraryPath(u"C:host.exe"), u"C:Bex.dll");
  EXPECT_EQ(FrameworkLibraryPath(u"host.exe"), u"Bex.dll");
  EXPECT_EQ(FrameworkLibraryPath(u"C:\\"), u"C:\\Bex.dll");
}

TEST(FrameworkLoadFailureText, PrefixThenPath) {
  EXPECT_EQ(FrameworkLoadFailureText(u"C:\\Kymora\\Bex.dll"),
            u"Kymo failed to load C:\\Kymora\\Bex.dll");
}

TEST(FrameworkLoadFailureText, LongPathIsCutTo511Characters) {
  const std::u16string prefix = u"Kymo failed to load ";
  const std::u16string fits(511 - prefix.size(), u'p');
  EXPECT_EQ(FrameworkLoadFailureText(fits), prefix + fits);
  const std::u16string longer = fits + u"q";
  const std::u16string text = FrameworkLoadFailureText(longer);
  EXPECT_EQ(text.size(), 511u);
  EXPECT_EQ(text, prefix + fits);
  EXPECT_EQ(FrameworkLoadFailureText(std::u16string(40000, u'x')).size(), 511u);
}

}  // namespace
