// The version block of the running program, as the dialog's title reads it.
// This test program carries its own block (module_version_test.rc) with a
// translation other than the usual one.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/module_version.h"

namespace orvane::app {
namespace {

TEST(ModuleVersion, ReadsTheOwnBlockThroughItsTranslation) {
  CModuleVersion version;
  ASSERT_TRUE(version.LoadVersionInfo(OwnModuleName()));
  EXPECT_EQ(version.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(version.dwProductVersionMS, 0x00030007u);
  EXPECT_EQ(version.Language(), 0x0407);
  EXPECT_EQ(version.CodePage(), 1252);
  EXPECT_EQ(version.GetValue(L"ProductName"), L"Versionsprobe");
  EXPECT_EQ(version.GetValue(L"ProductVersion"), L"3.7.1");
  EXPECT_EQ(version.GetValue(L"NoSuchKey"), L"");
}

TEST(ModuleVersion, AModuleNotLoadedGivesNothing) {
  CModuleVersion version;
  ASSERT_TRUE(version.LoadVersionInfo(OwnModuleName()));
  EXPECT_FALSE(version.LoadVersionInfo(L"not-loaded-here.exe"));
  EXPECT_EQ(version.CodePage(), 1252);  // reset by the failed load
  EXPECT_EQ(version.dwSignature, 0u);
}

}  // namespace
}  // namespace orvane::app
