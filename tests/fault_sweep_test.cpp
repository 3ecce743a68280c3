// Every course of a run, once per platform call it makes, with that one call
// failing and again with every call failing from that one on. Whatever fails,
// the run must end with one of its statuses, lose no managed file, release
// everything it took, and report a replacement only when one happened.
#include <cstdio>
#include <string>
#include <vector>

#include "support/invariant.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class FaultPlanTest : public SimTest {};

// A fault named by operation, file and occurrence hits the same call
// whichever order the calls come in; without a file, the occurrence counts
// every call of the name. Onward, every call after it fails too.
TEST_F(FaultPlanTest, FaultsNamedByOperationSurviveAReordering) {
  for (bool libraryFirst : {false, true}) {
    FreshMachine();
    for (const char *name : {"halunexe.exe", "halundll.dll"}) m().PutFile(Sys(name), name);
    m().faults = {"DeleteFileA", "halundll.dll", 0};
    std::vector<std::string> order = {Sys("halunexe.exe"), Sys("halundll.dll")};
    if (libraryFirst) std::swap(order[0], order[1]);
    for (const std::string &path : order) DeleteFileA(path.c_str());
    const char *label = libraryFirst ? "library first" : "executable first";
    EXPECT_FALSE(m().HasFile(Sys("halunexe.exe"))) << label;
    EXPECT_TRUE(m().HasFile(Sys("halundll.dll"))) << label;
  }
  FreshMachine();
  m().faults = {"DeleteFileA", "", 1, true};
  for (const char *name : {"a.tmp", "b.tmp", "c.tmp"}) DeleteFileA(Sys(name).c_str());
  std::vector<bool> failed;
  for (const sim::Call &call : m().Calls()) failed.push_back(call.failed);
  EXPECT_EQ((std::vector<bool>{false, true, true}), failed);
  EXPECT_EQ("DeleteFileA #2 and every call after it", m().faults.Describe());
}

// A course: a setup's arrangement (its label) on one family.
struct Course {
  const char *label;
  const Family *family;
};

class FaultSweepTest : public RowTest<Course> {
 public:
  // Runs the tool once on the machine as the course sets it up, with `plan`,
  // and returns what went wrong (empty when nothing did).
  std::string RunOnce(const sim::FaultPlan &plan, std::vector<sim::FaultPlan> *faults,
                      long *unrecoverable = nullptr) {
    FreshRow();
    Arranged(C().label).arrange();
    ManagedSnapshot before = SnapshotManagedFiles();
    m().faults = plan;
    RunStatus status = RunUpgrade();
    if (faults) *faults = FaultsOfTheRun();
    m().faults = sim::FaultPlan();
    // With every call failing from some point on, an installed copy the run
    // deleted just before cannot be put back by anything it could still do;
    // its staged copy is kept (checked after the run) for the next run. Only
    // such a file is excused from the check after the restart.
    bool unreached = false;
    std::string problems = CheckRunEnd(before, status, plan.onward ? &unreached : nullptr);
    if (unreached && problems.empty() && unrecoverable) ++*unrecoverable;
    return problems;
  }

  // Every fault of a run, named by the call it hits: each faultable call
  // alone, and each with every call after it.
  std::vector<sim::FaultPlan> FaultsOfTheRun() {
    std::vector<sim::FaultPlan> faults;
    for (const sim::Call &call : m().Calls())
      for (bool onward : {false, true})
        if (call.faultable) faults.push_back({call.name, call.subject, call.occurrence, onward});
    return faults;
  }
};

// Each course once, on the oldest family with what it exercises.
const Course kCourses[] = {
    {"nothing staged", kTypical},
    {"fresh install", kTypical},
    {"fresh install, run as LocalSystem", kTypical},
    {"same version", kTypical},
    {"same version, no library installed", kTypical},
    {"old version", First(Where::Wininit)},
    {"old version", kTypical},
    {"old version", First(Where::Bits64)},
    {"replacement, nothing running", First(Where::NoNotice, Where::Nt)},
    {"replacement, the resident and another program running", kTypical},
    {"replacement, the resident and another program running", First(Where::Snapshot)},
    {"replacement, run as LocalSystem, the resident unseen", kTypical},
    {"replacement, the library held", kTypical},
    {"replacement, the library held", First(Where::Bits64)},
    {"replacement, only the executable staged", kTypical},
    {"replacement, only the executable staged", First(Where::Snapshot)},
    {"replacement, the resident ending 700 ms after the notice", kTypical},
    {"replacement, the resident hung", First(Where::Snapshot)},
    {"replacement, the executable held in a long system directory", First(Where::Wininit)},
    {"unfinished replacement", kTypical},
    {"library cut short on the same version", kTypical},
    {"run again before the restart, the library's rename line", First(Where::Wininit)},
    {"run again before the restart, the library's delayed move, nothing staged again", kTypical},
};

TEST_P(FaultSweepTest, SurvivesEveryFailingCall) {
  const std::string course = std::string(C().label) + " on " + F().name;
  std::vector<sim::FaultPlan> faults;
  EXPECT_EQ("", RunOnce(sim::FaultPlan(), &faults)) << course << ", run without faults";
  EXPECT_FALSE(faults.empty()) << course;
  long failures = 0, unrecoverable = 0;
  for (const sim::FaultPlan &plan : faults) {
    std::string problems = RunOnce(plan, nullptr, &unrecoverable);
    if (!problems.empty() && ++failures <= 5)
      ADD_FAILURE() << course << ": " << plan.Describe() << " failing:\n" << problems;
  }
  EXPECT_EQ(0, failures) << course << ": faulted runs that went wrong, of " << faults.size();
  RecordProperty("faults_swept", static_cast<int>(faults.size()));
  std::printf("fault sweep: %-90s %zu faults, %ld with the restart out of reach\n", course.c_str(),
              faults.size(), unrecoverable);
}
INSTANTIATE_TEST_SUITE_P(Courses, FaultSweepTest, OwnFamilyRows(kCourses), RowName());

// Cases the sweep found, kept as tests of their own.

// A presence test that fails during the replacement used to pass for an
// absent file: the file was skipped, its staged copy deleted, and the run
// reported 3 with the old file in place. (Occurrences 0 and 1 are the run's
// own tests of the two executables.)
struct SearchCase {
  const char *label;
  int occurrence;
};
const SearchCase kSearches[] = {{"third search", 2}, {"fourth", 3}, {"fifth", 4}, {"sixth", 5}};
using FailedSearchTest = RowTest<SearchCase>;
TEST_P(FailedSearchTest, FailedPresenceTestNeverPassesForAReplacement) {
  Install("4.50");
  Stage("4.60");
  ManagedSnapshot before = SnapshotManagedFiles();
  m().faults = {"FindFirstFileA", "", C().occurrence};
  RunStatus status = RunUpgrade();
  EXPECT_TRUE(status == RUN_REPLACED || status == RUN_RESTART_NEEDED) << "status " << status;
  // A 3 only with the staged pair installed; the check restarts the machine,
  // and restarting it again changes nothing.
  EXPECT_EQ("", CheckRunEnd(before, status));
  RestartAndExpect(true);
}
INSTANTIATE_TEST_SUITE_P(Rows, FailedSearchTest, Rows({kTypical}, kSearches), RowName());

// A Windows directory call that leaves its buffer unterminated, or reports a
// length the bytes do not have: the rename file is not written anywhere, the
// staged copies stay, and nothing is read past the buffer (under ASan).
struct WindowsDirCase {
  const char *label;
  std::string bytes;
  UINT reported;
};
const WindowsDirCase kWindowsDirs[] = {
    {"255 bytes, 10 reported", std::string(255, 'W'), 10},
    {"255 bytes, 255 reported", std::string(255, 'W'), 255},
    {"more bytes than the buffer holds, 10 reported", std::string(300, 'W'), 10},
    {"more bytes than the buffer holds, 255 reported", std::string(300, 'W'), 255},
    {"a length shorter than the text", "C:\\WINDOWS", 3},
    {"a zero byte inside", std::string("C:\\WIN\0DOWS", 10), 10},
};
using WindowsDirTest = RowTest<WindowsDirCase>;
TEST_P(WindowsDirTest, UnterminatedWindowsDirectoryIsRefused) {
  Install("4.30");
  Stage("4.60");
  m().windowsDirOverride = std::make_pair(C().bytes, C().reported);
  MachineState expected = RunExpecting(RUN_RESTART_NEEDED);
  EXPECT_EQ(expected, Snapshot());
  EXPECT_EQ(0u, Count("CreateFileA"));
}
INSTANTIATE_TEST_SUITE_P(Rows, WindowsDirTest, Rows({First(Where::Wininit)}, kWindowsDirs),
                         RowName());

}  // namespace
