// The custom action of the Windows Installer example against the tool: its
// verdict on each exit code, and on a 4 that it is a restart exactly where
// the tool schedules something for the restart.
#include <string>

#include "msica/verdict.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class MsicaTest : public SimTest {};

TEST_F(MsicaTest, VerdictOnEachExitCode) {
  UseFamily(kWinXp);
  // Rows: exit code, verdict. -1 arrives as 0xFFFFFFFF; anything else the
  // tool never ends with fails the installation.
  const struct {
    DWORD exitCode;
    Verdict verdict;
  } rows[] = {{0, VERDICT_FAILED},          {1, VERDICT_DONE},       {2, VERDICT_DONE},
              {3, VERDICT_DONE},            {4, VERDICT_RESTART},    {0xFFFFFFFFu, VERDICT_FAILED},
              {5, VERDICT_FAILED},          {0xC0000005u, VERDICT_FAILED}, {0xFFFFu, VERDICT_FAILED}};
  for (const auto &row : rows) {
    const StatusRow *got = VerdictOn(row.exitCode);
    EXPECT_EQ(row.verdict, got->verdict) << "exit code " << row.exitCode << ": " << got->meaning;
    EXPECT_NE(std::string(), got->meaning) << "exit code " << row.exitCode;
  }
}

TEST_F(MsicaTest, RestartOnlyWhereTheToolSchedules) {
  for (const Family *family :
       {&kWin32s, &kWin95, &kWin98, &kWinMe, &kNt4, &kWin2000, &kWinXp, &kWin10, &kWin10x64}) {
    SetUp();
    UseFamily(*family);
    // An installed version below 4.42: a 4 that schedules whatever the
    // platform allows.
    Install("4.4");
    Stage("4.60");
    ASSERT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << family->name;
    const bool scheduled = !m().delayedMoves.empty() || m().HasFile(m().windowsDir + "\\wininit.ini");
    EXPECT_EQ(scheduled ? VERDICT_RESTART : VERDICT_FAILED, VerdictOn(RUN_RESTART_NEEDED)->verdict)
        << family->name << (scheduled ? ": the tool scheduled" : ": the tool scheduled nothing");
  }
}

}  // namespace
