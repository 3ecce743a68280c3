// The platform classification, per Windows family and at its edges; the
// record sizes the simulated declarations share with Windows (checked at
// compile time by the include below).
#include "files/files.h"
#include "platform/record_sizes.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

using FamilyCodeTest = RowTest<NoCase>;
TEST_P(FamilyCodeTest, EachFamilyGetsItsCode) {
  ClassifyPlatform();
  EXPECT_EQ(F().expected, g_run.platformCode);
}
INSTANTIATE_TEST_SUITE_P(Families, FamilyCodeTest, Rows(AllFamilies(), kNoCase), RowName());

// Reports no rule matches, and a failed query, keep the code unknown; the
// comparisons are unsigned: a huge major is above 4, a huge minor is not 0.
struct Report {
  const char *label;
  DWORD platformId, major, minor;
  PlatformCode expected;
  bool fails = false;
};
const Report kReports[] = {
    {"NT 3.51", VER_PLATFORM_WIN32_NT, 3, 51, PLATFORM_UNKNOWN},
    {"a 95-family major 5", VER_PLATFORM_WIN32_WINDOWS, 5, 0, PLATFORM_UNKNOWN},
    {"a 95-family major 3", VER_PLATFORM_WIN32_WINDOWS, 3, 0, PLATFORM_UNKNOWN},
    {"an unknown platform identifier", 3, 6, 0, PLATFORM_UNKNOWN},
    {"a huge major", VER_PLATFORM_WIN32_NT, 0x80000000u, 0, PLATFORM_NT5},
    {"a huge minor", VER_PLATFORM_WIN32_WINDOWS, 4, 0xFFFFFFFFu, PLATFORM_WIN98ME},
    {"NT 6.2", VER_PLATFORM_WIN32_NT, 6, 2, PLATFORM_NT5},
    {"a failed query of an XP report", VER_PLATFORM_WIN32_NT, 5, 1, PLATFORM_UNKNOWN, true},
};
using ReportTest = RowTest<Report>;
TEST_P(ReportTest, VersionsNoRuleMatchesKeepUnknown) {
  m().version = {C().platformId, C().major, C().minor, C().fails};
  ClassifyPlatform();
  EXPECT_EQ(C().expected, g_run.platformCode);
}
INSTANTIATE_TEST_SUITE_P(Rows, ReportTest, Rows({kTypical}, kReports), RowName());

}  // namespace
