// The platform classification, per Windows family and at its edges; the
// record sizes the simulated declarations share with Windows (checked at
// compile time by the include below).
#include "platform/record_sizes.h"
#include "files/files.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class ClassifyPlatformTest : public SimTest {};

TEST_F(ClassifyPlatformTest, EachFamilyGetsItsCode) {
  for (const Family *family : {&kWin32s, &kWin95, &kWin98, &kWinMe, &kNt4, &kWin2000, &kWinXp, &kWin10}) {
    SetUp();
    UseFamily(*family);
    ClassifyPlatform();
    EXPECT_EQ(family->expected, g_run.platformCode) << family->name;
  }
}

struct Report {
  DWORD platformId, major, minor;
  PlatformCode expected;
};

TEST_F(ClassifyPlatformTest, VersionsNoRuleMatchesKeepUnknown) {
  const Report reports[] = {
      {VER_PLATFORM_WIN32_NT, 3, 51, PLATFORM_UNKNOWN},      // NT 3.51
      {VER_PLATFORM_WIN32_WINDOWS, 5, 0, PLATFORM_UNKNOWN},  // a 95-family major 5
      {VER_PLATFORM_WIN32_WINDOWS, 3, 0, PLATFORM_UNKNOWN},
      {3, 6, 0, PLATFORM_UNKNOWN},  // an unknown platform identifier
      // Unsigned comparisons: a huge major is above 4, a huge minor is not 0.
      {VER_PLATFORM_WIN32_NT, 0x80000000u, 0, PLATFORM_NT5},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0xFFFFFFFFu, PLATFORM_WIN98ME},
      {VER_PLATFORM_WIN32_NT, 6, 2, PLATFORM_NT5},
  };
  for (const Report &report : reports) {
    SetUp();
    m().version.platformId = report.platformId;
    m().version.major = report.major;
    m().version.minor = report.minor;
    ClassifyPlatform();
    EXPECT_EQ(report.expected, g_run.platformCode)
        << "platform " << report.platformId << " version " << report.major << "." << report.minor;
  }
}

TEST_F(ClassifyPlatformTest, FailedVersionQueryLeavesUnknown) {
  m().version.fails = true;
  ClassifyPlatform();
  EXPECT_EQ(PLATFORM_UNKNOWN, g_run.platformCode);
}

}  // namespace
