// Every course of a run, once per platform call it makes, with that one call
// failing and again with every call failing from that one on. Whatever fails,
// the run must end with one of its statuses, lose no managed file, release
// everything it took, and report a replacement only when one happened.
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/invariant.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class FaultSweepTest;
struct Course {
  const char *name;
  std::function<void(FaultSweepTest &)> setUp;
};

class FaultSweepTest : public SimTest, public ::testing::WithParamInterface<const Course *> {
 public:
  using SimTest::Install;
  using SimTest::Stage;
  using SimTest::Sys;
  using SimTest::UseFamily;
  using SimTest::m;

  // Runs the tool once on the machine as `course` sets it up, with `plan`,
  // and returns what went wrong (empty when nothing did).
  std::string RunOnce(const Course &course, const sim::FaultPlan &plan,
                      std::vector<sim::FaultPlan> *faults, long *unrecoverable = nullptr) {
    FreshMachine();
    course.setUp(*this);
    AddMarkerKey();  // where the family's registry view puts it
    ManagedSnapshot before = SnapshotManagedFiles();
    std::string stagedBytes[2];
    for (int i = 0; i < 2; ++i)
      if (before.files[i].staged) stagedBytes[i] = m().FileBytes(before.files[i].stagedPath);
    m().faults = plan;
    RunStatus status = RunUpgrade();
    if (faults) *faults = FaultsOfTheRun();
    m().faults = sim::FaultPlan();

    std::ostringstream out;
    if (status < RUN_SCAN_FAILED || status > RUN_RESTART_NEEDED)
      out << "status " << status << " is not one of the six\n";
    if (m().OpenHandleCount() != 0) out << m().OpenHandleCount() << " handles left open\n";
    if (m().LiveAllocationCount() != 0)
      out << m().LiveAllocationCount() << " heap blocks left\n";
    if (m().LoadedLibraryCount() != 0)
      out << m().LoadedLibraryCount() << " library references left\n";
    for (const std::string &defect : m().defects) out << "defect: " << defect << "\n";
    // A replacement is reported only when every file that was staged holds
    // the staged bytes under its installed name.
    if (status == RUN_REPLACED) {
      for (int i = 0; i < 2; ++i) {
        const ManagedFileState &file = before.files[i];
        if (!file.staged) continue;
        std::string installed =
            m().HasFile(file.installedPath) ? m().FileBytes(file.installedPath) : "(none)";
        if (installed != stagedBytes[i])
          out << "status 3 with installed " << file.label << " \"" << installed << "\", staged \""
              << stagedBytes[i] << "\"\n";
      }
    }
    std::string afterRun = CheckManagedFilesAfterRun(before);
    out << afterRun;
    if (afterRun.empty()) {
      // With every call failing from some point on, an installed copy the run
      // deleted just before cannot be put back by anything it could still do;
      // its staged copy is kept (checked above) for the next run. Only such a
      // file is excused from the check after the restart.
      bool excused[2], anyExcused = false;
      for (int i = 0; i < 2; ++i) {
        const ManagedFileState &file = before.files[i];
        excused[i] = plan.onward && file.installed && !m().HasFile(file.installedPath) &&
                     m().HasFile(file.stagedPath);
        anyExcused = anyExcused || excused[i];
      }
      std::string afterRestart = RestartAndCheckManagedFiles(before);
      bool onlyExcused = !afterRestart.empty();
      for (int i = 0; i < 2; ++i)
        if (!excused[i] && afterRestart.find(std::string(before.files[i].label) + " not installed") !=
                               std::string::npos)
          onlyExcused = false;
      if (anyExcused && onlyExcused && unrecoverable)
        ++*unrecoverable;
      else
        out << afterRestart;
    }
    std::string problems = out.str();
    if (!problems.empty()) {
      std::ostringstream head;
      head << "status " << status << "; ";
      problems = head.str() + problems;
    }
    return problems;
  }

  long unrecoverable_ = 0;

  // Every fault of a run, named by the call it hits: each faultable call
  // alone, and each with every call after it.
  std::vector<sim::FaultPlan> FaultsOfTheRun() {
    std::vector<sim::FaultPlan> faults;
    for (const sim::Call &call : m().calls) {
      if (!call.faultable) continue;
      for (bool onward : {false, true}) {
        sim::FaultPlan plan;
        plan.operation = call.name;
        plan.subject = call.subject;
        plan.occurrence = call.occurrence;
        plan.onward = onward;
        faults.push_back(plan);
      }
    }
    return faults;
  }

  // Sweeps one course and returns the number of faults injected.
  long Sweep(const Course &course) {
    std::vector<sim::FaultPlan> faults;
    std::string clean = RunOnce(course, sim::FaultPlan(), &faults);
    EXPECT_EQ("", clean) << course.name << ", run without faults";
    EXPECT_FALSE(faults.empty()) << course.name;
    int failures = 0;
    for (const sim::FaultPlan &plan : faults) {
      std::string problems = RunOnce(course, plan, nullptr, &unrecoverable_);
      if (!problems.empty() && ++failures <= 5)
        ADD_FAILURE() << course.name << ": " << plan.Describe() << " failing:\n" << problems;
    }
    EXPECT_EQ(0, failures) << course.name << ": faulted runs that went wrong, of " << faults.size();
    return static_cast<long>(faults.size());
  }
};

const Course kCourses[] = {
    {"nothing staged",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.m().PutFile(s.Sys("halundll.dl$"), "new dll");
     }},
    {"fresh install", [](FaultSweepTest &s) { s.Stage("4.60"); }},
    {"same version",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.Stage("4.50");
     }},
    {"old version on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.Install("4.30");
       s.Stage("4.60");
     }},
    {"old version on Windows XP",
     [](FaultSweepTest &s) {
       s.Install("4.30");
       s.Stage("4.60");
     }},
    {"replacement on Windows XP",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.Stage("4.60");
       s.m().AddProcess(4, "C:\\WINDOWS\\system32\\smss.exe", "smss.exe");
       s.m().AddProcess(1200, s.Sys("halunexe.exe"), "halunexe.exe");
       s.m().AddWindow("HALUNSHOW_STUB");
     }},
    {"replacement on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.Install("4.50");
       s.Stage("4.60");
       s.m().AddProcess(8, "C:\\WINDOWS\\EXPLORER.EXE", "EXPLORER.EXE");
       s.m().AddProcess(1200, s.Sys("HALUNEXE.EXE"), "HALUNEXE.EXE");
       s.m().AddWindow("HALUNSHOW_STUB");
     }},
    {"replacement on Windows NT 4",
     [](FaultSweepTest &s) {
       s.UseFamily(kNt4);
       s.Install("4.50");
       s.Stage("4.60");
     }},
    {"replacement with a locked library",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.Stage("4.60");
       s.m().LockFile(s.Sys("halundll.dll"), sim::kForever);
     }},
    {"old version on 64-bit Windows",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin10x64);
       s.Install("4.30");
       s.Stage("4.60");
     }},
    {"locked library on 64-bit Windows",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin10x64);
       s.Install("4.50");
       s.Stage("4.60");
       s.m().LockFile(s.Sys("halundll.dll"), sim::kForever);
     }},
    {"same version without an installed library",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.m().RemoveFile(s.Sys("halundll.dll"));
       s.Stage("4.50");
     }},
    {"only the executable staged on Windows XP",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.Stage("4.60");
       s.m().RemoveFile(s.Sys("halundll.dl$"));
     }},
    {"only the executable staged on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.Install("4.50");
       s.Stage("4.60");
       s.m().RemoveFile(s.Sys("halundll.dl$"));
     }},
    {"resident ending 700 ms after the notice",
     [](FaultSweepTest &s) {
       s.Install("4.50");
       s.Stage("4.60");
       s.m().AddProcess(1200, s.Sys("halunexe.exe"), "halunexe.exe");
       const std::string exe = s.Sys("halunexe.exe");
       s.m().LockFile(exe, sim::kForever);
       s.m().AddWindow("HALUNSHOW_STUB", [exe](UINT, WPARAM, LPARAM) -> LRESULT {
         sim::Machine &m = sim::M();
         if (sim::Process *resident = m.FindProcess(1200)) resident->endsAtMs = m.nowMs + 700;
         if (sim::File *file = m.FindFile(exe)) file->lockedUntil = m.nowMs + 700;
         return 0;
       });
     }},
    {"hung resident on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.Install("4.50");
       s.Stage("4.60");
       s.m().AddProcess(1200, s.Sys("HALUNEXE.EXE"), "HALUNEXE.EXE");
       s.m().LockFile(s.Sys("halunexe.exe"), sim::kForever);
       s.m().AddWindow("HALUNSHOW_STUB").handlingMs = sim::kForever;
     }},
    {"unfinished replacement on Windows XP",
     [](FaultSweepTest &s) {
       s.Install("4.60", "new exe", "old dll");
       s.Stage("4.60");
     }},
    {"library cut short on the same version",
     [](FaultSweepTest &s) {
       s.Install("4.50", "old exe", "new");
       s.Stage("4.50");
     }},
    {"run again before the restart on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.Install("4.60", "new exe", "old dll");
       s.Stage("4.60");
       const std::string dir = s.m().systemDir;
       s.m().PutFile(s.m().windowsDir + "\\wininit.ini",
                     "[Rename]\r\n" + dir + "\\halundll.dll = " + dir + "\\halundll.dl$\r\n");
     }},
    {"run again before the restart on Windows XP, nothing staged again",
     [](FaultSweepTest &s) {
       s.Install("4.60", "new exe", "old dll");
       s.m().PutFile(s.Sys("halundll.dl$"), "new dll");
       s.m().delayedMoves.push_back(
           {sim::Fold(s.Sys("halundll.dl$")), sim::Fold(s.Sys("halundll.dll")), 5});
     }},
    {"locked executable in a long system directory on Windows 98",
     [](FaultSweepTest &s) {
       s.UseFamily(kWin98);
       s.m().systemDir = "C:\\Program Files\\Windows System";
       s.m().shortPaths[sim::Fold(s.m().systemDir)] = "C:\\PROGRA~1\\WINDOW~1";
       s.Install("4.50");
       s.Stage("4.60");
       s.m().LockFile(s.Sys("halunexe.exe"), sim::kForever);
     }},
};

TEST_P(FaultSweepTest, SurvivesEveryFailingCall) {
  long swept = Sweep(*GetParam());
  RecordProperty("faults_swept", static_cast<int>(swept));
  std::printf("fault sweep: %-62s %ld faults, %ld with the restart out of reach\n", GetParam()->name,
              swept, unrecoverable_);
}
INSTANTIATE_TEST_SUITE_P(Courses, FaultSweepTest, ::testing::ValuesIn([] {
                           std::vector<const Course *> courses;
                           for (const Course &course : kCourses) courses.push_back(&course);
                           return courses;
                         }()),
                         [](const ::testing::TestParamInfo<const Course *> &info) {
                           std::string name = info.param->name;
                           for (char &c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace

namespace {

// Cases the sweep found, kept as tests of their own.
class ReplacementUnderFaultsTest : public SimTest {
 protected:
  void ReplacementOn(const Family &family) {
    UseFamily(family);
    AddMarkerKey();
    Install("4.50");
    Stage("4.60");
  }
};

// A presence test that fails during the replacement used to pass for an
// absent file: the file was skipped, its staged copy deleted, and the run
// reported 3 with the old file in place.
TEST_F(ReplacementUnderFaultsTest, FailedPresenceTestNeverPassesForAReplacement) {
  // Occurrences 0 and 1 are the run's own tests of the two executables.
  for (int occurrence = 2; occurrence <= 5; ++occurrence) {
    SetUp();
    ReplacementOn(kWinXp);
    ManagedSnapshot before = SnapshotManagedFiles();
    m().faults.operation = "FindFirstFileA";
    m().faults.occurrence = occurrence;
    RunStatus status = RunUpgrade();
    std::string exe = m().FileBytes(Sys("halunexe.exe")), dll = m().FileBytes(Sys("halundll.dll"));
    if (status == RUN_REPLACED) {
      EXPECT_EQ("new exe", exe) << "search " << occurrence << " failing";
      EXPECT_EQ("new dll", dll) << "search " << occurrence << " failing";
    } else {
      EXPECT_EQ(RUN_RESTART_NEEDED, status) << "search " << occurrence << " failing";
    }
    EXPECT_EQ("", CheckManagedFilesInvariant(before)) << "search " << occurrence << " failing";
    EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe"))) << "after the restart, search " << occurrence;
    EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll"))) << "after the restart, search " << occurrence;
  }
}

// With no installed library the staged one used to be deleted by the
// completion step, leaving the product without any library.
TEST_F(ReplacementUnderFaultsTest, MissingInstalledLibraryIsCopiedIntoPlace) {
  ReplacementOn(kWinXp);
  m().RemoveFile(Sys("halundll.dll"));
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  ASSERT_TRUE(m().HasFile(Sys("halundll.dll"))) << "files: " << ::testing::PrintToString(m().FilePaths());
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_FALSE(m().HasFile(Sys("halundll.dl$")));
  EXPECT_EQ(1u, m().launches.size());
}

// Without a staged library nothing can replace the installed one: it stays,
// not deleted. It is not part of the replacement, so the run reports the
// executable's replacement and restarts it.
TEST_F(ReplacementUnderFaultsTest, MissingStagedLibraryKeepsTheInstalledOne) {
  ReplacementOn(kWinXp);
  m().RemoveFile(Sys("halundll.dl$"));
  EXPECT_EQ(RUN_REPLACED, RunUpgrade());
  EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.exe")));
  EXPECT_EQ("old dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_EQ(1u, m().launches.size());
  EXPECT_TRUE(m().delayedMoves.empty());
}

// On NT 4 there is no restart-time replacement: a copy that fails once after
// the installed copy was deleted is tried again; failing twice, the staged
// copy is kept for the next run and the run reports 4.
TEST_F(ReplacementUnderFaultsTest, CopyAfterDeletionIsRetriedOnce) {
  struct Row {
    int failures;
    RunStatus expected;
    const char *installedExe;
  } rows[] = {{1, RUN_REPLACED, "new exe"}, {2, RUN_RESTART_NEEDED, nullptr}};
  for (const Row &row : rows) {
    SetUp();
    ReplacementOn(kNt4);
    m().faults.operation = "CopyFileA";
    m().faults.occurrence = -1;
    if (row.failures == 1) m().faults.occurrence = 0;
    RunStatus status = RunUpgrade();
    EXPECT_EQ(row.expected, status) << row.failures << " failing copies";
    if (row.installedExe) {
      EXPECT_EQ(row.installedExe, m().FileBytes(Sys("halunexe.exe")));
    } else {
      EXPECT_EQ("new exe", m().FileBytes(Sys("halunexe.ex$"))) << "staged copy kept";
      EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dl$"))) << "staged copy kept";
    }
    EXPECT_EQ(row.failures == 1 ? 3u : 4u, m().CallsNamed("CopyFileA").size())
        << row.failures << " failing copies";
  }
}

}  // namespace

namespace {

class BadInputTest : public SimTest {};

// Found by fuzzing: on the same-version course the completion step deleted
// the staged library although no library was installed, leaving none. The
// staged library is now put in place before the staged copies go.
TEST_F(BadInputTest, SameVersionKeepsTheOnlyCopyOfTheLibrary) {
  Install("4.50");
  m().RemoveFile(Sys("halundll.dll"));
  Stage("4.50");
  ManagedSnapshot before = SnapshotManagedFiles();
  EXPECT_EQ(RUN_SAME_VERSION, RunUpgrade());
  EXPECT_FALSE(m().HasFile(Sys("halunexe.ex$")));
  ASSERT_TRUE(m().HasFile(Sys("halundll.dll"))) << "files: " << ::testing::PrintToString(m().FilePaths());
  EXPECT_EQ("new dll", m().FileBytes(Sys("halundll.dll")));
  EXPECT_FALSE(m().HasFile(Sys("halundll.dl$")));
  EXPECT_EQ("", CheckManagedFilesInvariant(before));
  ExpectCleanExit();
}

}  // namespace

namespace {

class BadDirectoryTest : public SimTest {};

// A Windows directory call that leaves its buffer unterminated, or reports a
// length the bytes do not have: the rename file is not written anywhere, the
// staged copies stay, and nothing is read past the buffer (under ASan).
TEST_F(BadDirectoryTest, UnterminatedWindowsDirectoryIsRefused) {
  struct Row {
    std::string bytes;
    UINT reported;
  } rows[] = {
      {std::string(255, 'W'), 10},
      {std::string(255, 'W'), 255},
      {std::string(300, 'W'), 10},  // more bytes than the buffer holds
      {std::string(300, 'W'), 255},
      {"C:\\WINDOWS", 3},
      {std::string("C:\\WIN\0DOWS", 10), 10},
  };
  for (const Row &row : rows) {
    SetUp();
    UseFamily(kWin98);
    Install("4.30");
    Stage("4.60");
    m().windowsDirOverride = std::make_pair(row.bytes, row.reported);
    ManagedSnapshot before = SnapshotManagedFiles();
    EXPECT_EQ(RUN_RESTART_NEEDED, RunUpgrade()) << "reported " << row.reported;
    EXPECT_EQ(0u, m().CallsNamed("CreateFileA").size())
        << "reported " << row.reported << ", first file opened: "
        << (m().CallsNamed("CreateFileA").empty() ? "" : m().CallsNamed("CreateFileA")[0]->args[0]);
    EXPECT_TRUE(m().HasFile(Sys("halunexe.ex$"))) << "reported " << row.reported;
    EXPECT_EQ("", CheckManagedFilesAfterRun(before)) << "reported " << row.reported;
    ExpectCleanExit();
  }
}

}  // namespace
