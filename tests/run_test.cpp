// The courses of a whole run and their exit statuses, per Windows family.
#include "support/scenario.h"

using namespace testing_support;

namespace {

class RunTest : public SimTest {};

TEST_F(RunTest, NothingStagedOnlyRecordsTheRun) {
  AddMarkerKey();
  m().PutFile(Sys("halundll.dl$"), "staged dll");
  EXPECT_EQ(RUN_NOTHING_DONE, RunUpgrade());
  EXPECT_TRUE(m().HasFile(Sys("halundll.dl$"))) << "the staged library is not looked at";
  EXPECT_EQ(std::string("Complete\0", 9), MarkerText());
  ExpectCleanExit();
}

TEST_F(RunTest, FreshInstallCopiesBothAndStartsTheExecutable) {
  AddMarkerKey();
  Stage("4.60");
  m().PutFile(Sys("halundll.dll"), "old dll");
  EXPECT_EQ(RUN_FRESH_INSTALL, RunUpgrade());
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$")));
  EXPECT_FALSE(m().HasFile(Sys("halundll.dl$")));
  ASSERT_EQ(1u, m().launches.size());
  EXPECT_EQ("c:\\windows\\system32\\halunexe.exe /init", m().launches[0].commandLine);
  ExpectCleanExit();
}

TEST_F(RunTest, SameVersionDeletesStagedCopiesOnly) {
  Install("4.50");
  Stage("4.50");
  EXPECT_EQ(RUN_SAME_VERSION, RunUpgrade());
  EXPECT_EQ("old exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$")));
  EXPECT_FALSE(m().HasFile(Sys("halundll.dl$")));
  EXPECT_TRUE(m().launches.empty());
  ExpectCleanExit();
}

TEST_F(RunTest, TypicalRunOnXpReplacesAndRestarts) {
  AddMarkerKey();
  Install("4.50");
  Stage("4.60");
  m().AddProcess(4, "C:\\WINDOWS\\system32\\smss.exe", "smss.exe");
  m().AddProcess(1200, "C:\\WINDOWS\\SYSTEM32\\HALUNEXE.EXE", "HALUNEXE.EXE");
  sim::Window &stub = m().AddWindow("HALUNSHOW_STUB");
  (void)stub;
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ(1u, m().windows[0].received.size());
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_EQ(std::vector<DWORD>{1000}, m().sleeps);
  ASSERT_EQ(1u, m().launches.size());
  EXPECT_EQ(std::string("Complete\0", 9), MarkerText());
  EXPECT_EQ(0, m().LoadedLibraryCount());
  ExpectCleanExit();
}

}  // namespace
