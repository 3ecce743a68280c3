// A run stopped at any point, as when the setup kills it or the power goes,
// followed by the setup's next run of the tool and the restart that run asks
// for: the machine must end with the staged pair in place, nothing lost.
//
// Each setup is stopped before each call of its run that changes the disk or
// the registry (every call from there on fails without effect), and in the
// middle of each copy (a torn target, with and without a readable version
// block), and once not at all; then the holder of a file is still there, or
// gone, or the machine restarts; the setup stages the same pair again, or
// not; and the tool runs again. Checked by content: what the four managed
// files hold at the end, that a run reporting 0 to 3 left the pair it
// reports, and that no restart-time instruction names a source that is gone.
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "notice/notice.h"
#include "support/invariant.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class StopSweepTest : public SimTest, public ::testing::WithParamInterface<const Family *> {
 public:
  using SimTest::AddMarkerKey;
  using SimTest::FreshMachine;
  using SimTest::Install;
  using SimTest::m;
  using SimTest::Stage;
  using SimTest::Sys;
  using SimTest::UseFamily;
};

struct FamilyRow {
  const Family *family;
  bool restartReplaces;  // the restart carries out what a run schedules
};
const Family *const kFamilies[] = {&kWin98, &kWin95, &kNt4, &kWinXp, &kWin10x64};

// What happens between the stopped run and the next one.
enum class Between { HolderStays, HolderGone, Restart };
const char *Describe(Between between) {
  return between == Between::HolderStays  ? "holder stays"
         : between == Between::HolderGone ? "holder gone"
                                          : "restart first";
}

// Calls that change the disk or the registry: a stop point lies before each.
bool Changes(const sim::Call &call) {
  static const std::set<std::string> kChanging = {"DeleteFileA",   "CopyFileA",    "MoveFileExA",
                                                  "WriteFile",     "SetEndOfFile", "RegSetValueExA",
                                                  "CreateProcessA"};
  return kChanging.count(call.name) != 0 ||
         (call.name == "CreateFileA" && call.args[4] != "3");  // may create the file
}

// A stop point: the call the run is stopped before (every call from there on
// fails), named by operation and occurrence; no operation: not stopped.
using StopPoint = sim::FaultPlan;

// The restart-time instructions whose source is gone.
std::string InstructionsWithoutSource() {
  sim::Machine &m = sim::M();
  std::ostringstream out;
  for (const sim::DelayedMove &move : m.DelayedMoves())
    if (!m.HasFile(move.from)) out << "move from missing " << move.from << "; ";
  std::string wininit = m.windowsDir + "\\wininit.ini";
  if (m.version.platformId == VER_PLATFORM_WIN32_WINDOWS && m.HasFile(wininit))
    for (const auto &rename : sim::RenameSectionLines(m.FileBytes(wininit)))
      if (sim::Fold(rename.first) != "nul" && !m.HasFile(rename.second))
        out << "rename from missing " << rename.second << "; ";
  return out.str();
}

struct Outcome {
  long cases = 0, failed = 0;
};

class Sweeper {
 public:
  Sweeper(StopSweepTest &test, const Arrangement &setup, const FamilyRow &row)
      : t_(test), setup_(setup), row_(row) {}

  // The stop points of the setup's run: found from one run not stopped.
  std::vector<StopPoint> StopPoints() {
    Arrange();
    RunUpgrade();
    std::vector<StopPoint> points = {StopPoint()};
    for (const sim::Call &call : t_.m().Calls()) {
      if (!call.faultable || !Changes(call)) continue;
      StopPoint stop;
      stop.operation = call.name, stop.subject = call.subject, stop.occurrence = call.occurrence;
      stop.onward = true;
      points.push_back(stop);
      if (call.name == "CopyFileA")
        for (bool keepsVersion : {true, false}) {
          stop.tearCopy = true, stop.tornKeepsVersion = keepsVersion;
          points.push_back(stop);
        }
    }
    return points;
  }

  // One case; the problems found, empty when none.
  std::string Case(const StopPoint &stop, Between between, bool restage) {
    Arrange();
    t_.m().faults = stop;
    RunUpgrade();
    t_.m().faults = sim::FaultPlan();
    t_.m().EndToolProcess();
    if (between == Between::HolderGone) t_.m().EndPrograms();
    if (between == Between::Restart) t_.m().Restart();

    std::ostringstream out;
    RunStatus status = RunAgain(restage, &out);
    t_.m().Restart();
    if (!row_.restartReplaces && status == RUN_RESTART_NEEDED) {
      status = RunAgain(true, &out);
      t_.m().Restart();
    }
    bool unreplaceable = setup_.restartOnly && !row_.restartReplaces;
    std::string expectedExe = unreplaceable ? "old exe" : setup_.exe;
    std::string expectedDll = unreplaceable ? "old dll" : setup_.dll;
    std::string exe = Installed("halunexe.exe"), dll = Installed("halundll.dll");
    if (exe != expectedExe || dll != expectedDll)
      out << "in the end \"" << exe << "\" and \"" << dll << "\", expected \"" << expectedExe
          << "\" and \"" << expectedDll << "\"; ";
    // A staged copy left over is harmless only where its file holds it.
    const char *pairs[][2] = {{"halunexe.ex$", "halunexe.exe"}, {"halundll.dl$", "halundll.dll"}};
    for (const auto &pair : pairs)
      if (t_.m().HasFile(t_.Sys(pair[0])) && !unreplaceable && pair[0] != stagedLeft_ &&
          t_.m().FileBytes(t_.Sys(pair[0])) != Installed(pair[1]))
        out << pair[0] << " left in the end, unlike its file; ";
    return out.str();
  }

 private:
  void Arrange() {
    t_.FreshMachine();
    t_.UseFamily(*row_.family);
    setup_.arrange();
    t_.AddMarkerKey();
    staged_.clear();
    for (const char *name : {"halunexe.ex$", "halundll.dl$"})
      if (const sim::File *file = t_.m().FindFile(t_.Sys(name))) staged_.push_back({name, *file});
    // The one staged copy no run takes: a library staged without its
    // executable.
    stagedLeft_ = t_.m().HasFile(t_.Sys("halunexe.ex$")) ? "" : "halundll.dl$";
  }
  std::string Installed(const char *name) {
    return t_.m().HasFile(t_.Sys(name)) ? t_.m().FileBytes(t_.Sys(name)) : "(none)";
  }

  // The setup's next run: it may stage the same pair again first. A status
  // from 0 to 3 says that nothing is left to do: the pair must be in place.
  RunStatus RunAgain(bool restage, std::ostringstream *out) {
    if (restage && stagedLeft_.empty())
      for (const auto &file : staged_) t_.m().PutFileRecord(t_.Sys(file.first), file.second);
    RunStatus status = RunUpgrade();
    t_.m().EndToolProcess();
    std::string exe = Installed("halunexe.exe"), dll = Installed("halundll.dll");
    if (status >= RUN_NOTHING_DONE && status <= RUN_REPLACED &&
        (exe != setup_.exe || dll != setup_.dll))
      *out << "status " << status << " with \"" << exe << "\" and \"" << dll << "\"; ";
    std::string orphans = InstructionsWithoutSource();
    if (!orphans.empty()) *out << "after status " << status << ": " << orphans;
    return status;
  }
  StopSweepTest &t_;
  const Arrangement &setup_;
  const FamilyRow &row_;
  std::vector<std::pair<std::string, sim::File>> staged_;  // as the setup staged them
  std::string stagedLeft_;
};

TEST_P(StopSweepTest, EveryStoppedRunEndsInTheStagedPairAfterTheNextRun) {
  const FamilyRow row{GetParam(), GetParam()->restart != Restart::None};
  Outcome outcome;
  for (const Arrangement *setup : kStopSweepSetups) {
    const Arrangement &arrangement = *setup;
    Sweeper sweeper(*this, arrangement, row);
    long failedBefore = outcome.failed;
    for (const StopPoint &point : sweeper.StopPoints())
      for (Between between : {Between::HolderStays, Between::HolderGone, Between::Restart})
        for (bool restage : {true, false}) {
          // Where the restart replaces nothing, a setup whose tool was
          // stopped or reported 4 stages the pair again before the next
          // run: once the staged executable is gone (it goes as soon as
          // the executable is in place) nothing else tells a run that the
          // library is still to be put in place.
          if (!restage && !row.restartReplaces) continue;
          ++outcome.cases;
          std::string problems = sweeper.Case(point, between, restage);
          if (problems.empty()) continue;
          // The first failure of each setup, enough to read without a rerun.
          if (++outcome.failed == failedBefore + 1)
            ADD_FAILURE() << arrangement.name << ", "
                          << (point.operation.empty() ? "not stopped"
                                                      : "stopped at " + point.Describe())
                          << ", " << Describe(between) << (restage ? ", staged again" : "") << ": "
                          << problems;
        }
  }
  std::printf("stop sweep: %-20s %ld cases, %ld failed\n", row.family->name, outcome.cases,
              outcome.failed);
  EXPECT_EQ(0, outcome.failed) << "of " << outcome.cases << " cases";
  RecordProperty("stop_sweep_cases", static_cast<int>(outcome.cases));
}
INSTANTIATE_TEST_SUITE_P(Families, StopSweepTest, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<const Family *> &info) {
                           return std::string(info.param->name);
                         });

}  // namespace
