// The custom actions of the Windows Installer example against the tool and
// the installer's rules: their verdict on each exit code; the installer
// model's answers to a deferred and an immediate action; and the package of
// docs/examples/halunupd.wxs as it is written, run by the installer model on
// every simulated family, pass after pass, with the tool and the resident as
// programs of the machine.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "msica/msica.h"
#include "notice/notice.h"
#include "platform/sim/msi_engine.h"
#include "support/scenario.h"

using namespace testing_support;

namespace {

class MsicaTest : public SimTest {};

TEST_F(MsicaTest, VerdictOnEachExitCode) {
  // A restart-time instruction names the staged executable, so that a 4 is
  // a restart (a 4 without one is a package row: the library held, on each
  // family).
  Stage("4.60");
  m().QueueDelayedMove({sim::Fold(Sys("halunexe.ex$")), sim::Fold(Sys("halunexe.exe")),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
  PrepareRun();
  // Each status of the table finds its row (-1 arrives as 0xFFFFFFFF); any
  // other exit code fails the installation: one above the highest status, a
  // crash, and -1 as a 16-bit value not widened.
  INT highest = 0;
#define HALUNUPD_STATUS(name, code, treat, starts, done, text)          \
  EXPECT_EQ(VERDICT_##treat, VerdictOn((DWORD)(code))->verdict) << #name; \
  EXPECT_STREQ(text, VerdictOn((DWORD)(code))->meaning) << #name;         \
  if (code > highest) highest = code;
#include "base/statuses.inc"
#undef HALUNUPD_STATUS
  for (DWORD exitCode : {(DWORD)highest + 1, 0xC0000005u, 0xFFFFu}) {
    const StatusRow *got = VerdictOn(exitCode);
    EXPECT_EQ(VERDICT_FAILED, got->verdict) << "exit code " << exitCode << ": " << got->meaning;
    EXPECT_NE(std::string(), got->meaning) << "exit code " << exitCode;
  }
}

// ---------------------------------------------------------------- the installer's rules

using sim::msi::Context;

// Rows: the handle's kind, the call, what it answers ("result value"),
// whether the model recorded a refusal, and whether the restart at the end is
// then asked for (neither, where a row does not say).
struct RuleCase {
  const char *label;
  Context context;
  std::function<std::string(MSIHANDLE)> call;
  std::string answer;
  bool refused = false, rebootAtEnd = false;
};
std::function<std::string(MSIHANDLE)> Get(const char *name) {
  return [name](MSIHANDLE install) {
    CHAR value[64] = "unchanged";
    DWORD size = sizeof(value);
    UINT result = MsiGetPropertyA(install, name, value, &size);
    return std::to_string(result) + " '" + value + "'";
  };
}
std::string SetRestart(MSIHANDLE install) {
  return std::to_string(MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE));
}
std::function<std::string(MSIHANDLE)> Mode(MSIRUNMODE mode) {
  return [mode](MSIHANDLE install) { return std::to_string(MsiGetMode(install, mode)); };
}
const sim::msi::Session kSession;
const RuleCase kRules[] = {
    {"deferred asks for the restart", Context::Deferred, SetRestart, "5", true},
    {"deferred reads its data", Context::Deferred, Get("CustomActionData"), "0 'data'"},
    {"deferred reads the product code", Context::Deferred, Get("ProductCode"),
     "0 '" + kSession.productCode + "'"},
    {"deferred reads the user", Context::Deferred, Get("UserSID"), "0 '" + kSession.userSid + "'"},
    {"deferred reads another property", Context::Deferred, Get("REMOVE"), "0 ''", true},
    {"commit reads the product code", Context::Commit, Get("ProductCode"), "0 ''", true},
    {"deferred is scheduled", Context::Deferred, Mode(MSIRUNMODE_SCHEDULED), "1"},
    {"rollback is rolling back", Context::Rollback, Mode(MSIRUNMODE_ROLLBACK), "1"},
    {"deferred reads the restart mode", Context::Deferred, Mode(MSIRUNMODE_REBOOTATEND), "0", true},
    {"immediate asks for the restart", Context::Immediate, SetRestart, "0", false, true},
    {"immediate reads a property", Context::Immediate, Get("REMOVE"), "0 'ALL'"},
    {"immediate is not scheduled", Context::Immediate, Mode(MSIRUNMODE_SCHEDULED), "0"},
};
using InstallerRuleTest = RowTest<RuleCase>;
TEST_P(InstallerRuleTest, EachHandleAnswersWhatItsKindMayAsk) {
  sim::msi::ResetInstaller();
  sim::msi::S().properties["REMOVE"] = "ALL";
  MSIHANDLE install = sim::msi::OpenInstallHandle(C().context, "data");
  EXPECT_EQ(C().answer, C().call(install));
  sim::msi::CloseInstallHandle(install);
  EXPECT_EQ(C().rebootAtEnd, sim::msi::S().rebootAtEnd);
  EXPECT_EQ(C().refused ? 1u : 0u, sim::msi::S().refused.size())
      << (sim::msi::S().refused.empty() ? "" : sim::msi::S().refused[0]);
}
INSTANTIATE_TEST_SUITE_P(Rules, InstallerRuleTest, Rows({kTypical}, kRules), RowName());

// ---------------------------------------------------------------- the package

const std::string kOld = "old exe", kOldDll = "old dll", kNew = "new exe", kNewDll = "new dll";

sim::msi::Package ThePackage() {
  std::ifstream file(HALUNUPD_PACKAGE);
  std::stringstream text;
  text << file.rdbuf();
  return sim::msi::ReadPackage(text.str(), {{"ProductExe", "build\\halunexe.exe"},
                                            {"ProductDll", "build\\halundll.dll"},
                                            {"HalunupdExe", "build\\halunupd.exe"},
                                            {"HalunmsiDll", "build\\halunmsi.dll"},
                                            {"PackageVersion", "4.60.0"},
                                            {"StagingFolder", "SystemFolder"},
                                            {"Win64", "no"}});
}

const sim::msi::Dll kDll = {&HalunmsiDllMain,
                            {{"CloseHalunexe", &CloseHalunexe},
                             {"RunHalunupd", &RunHalunupd},
                             {"StartHalunexe", &StartHalunexe},
                             {"RequestHalunupdRestart", &RequestHalunupdRestart},
                             {"RemoveHalunupdStaged", &RemoveHalunupdStaged},
                             {"CloseHalunexeForRemoval", &CloseHalunexeForRemoval},
                             {"RemoveHalunexe", &RemoveHalunexe},
                             {"RequestRemovalRestart", &RequestRemovalRestart}},
                            &ResetRunState};  // a fresh copy's run state is zeroed

// A pass installing the package's files locally: the staged pair of
// `version` and the tool; without administrator rights, the launch condition
// refuses it.
sim::msi::Pass Installing(const char *version, const std::string &exe, const std::string &dll,
                          bool privileged = true) {
  sim::msi::Pass pass;
  pass.privileged = privileged;
  sim::File &staged = pass.files["StagedExecutable"];
  staged.bytes = exe;
  staged.version.emplace().tables.push_back({.values = {{"FileVersion", version}}});
  pass.files["StagedLibrary"].bytes = dll;
  pass.files["HalunupdExe"].bytes = "halunupd";
  return pass;
}
const sim::msi::Pass kInstall460 = Installing("4.60", kNew, kNewDll);
const sim::msi::Pass kInstall450 = Installing("4.50", kOld, kOldDll);
const sim::msi::Pass kInstallUnprivileged = Installing("4.60", kNew, kNewDll, false);
// An older pair whose version text is one character too long for the downgrade check to read.
const sim::msi::Pass kInstallLongVersion =
    Installing(("4.50" + std::string(TEXT_CAPACITY - 4, '0')).c_str(), kOld, kOldDll);
const sim::msi::Pass kUnchanged = {sim::msi::STATE_UNCHANGED, {}, {}};
const sim::msi::Pass kRemoving = {sim::msi::STATE_ABSENT, {}, {}};
// The older package removed by the newer one's upgrade.
const sim::msi::Pass kUpgradeRemoving = {sim::msi::STATE_ABSENT, {}, "{older}"};

// What the passes leave.
struct Outcome {
  std::vector<UINT> results;  // of msiexec, pass by pass
  Bytes exe, dll, stagedExe, stagedDll;
  Bytes exeAfterRestart, dllAfterRestart;
  std::vector<std::string> launches;  // "halunexe.exe as user"
  size_t notices = 0;
  std::vector<std::string> toolLines;  // RunHalunupd's lines in the log
  std::vector<std::string> log;        // every line, where a row names them
  bool operator==(const Outcome &) const = default;
};
// The pair `exe` and `dll` installed, no staged copy left, the same after the restart.
Outcome Settled(std::vector<UINT> results, const std::string &exe, const std::string &dll,
                std::vector<std::string> launches, size_t notices, std::vector<std::string> toolLines) {
  return Outcome{results, exe, dll, {}, {}, exe, dll, launches, notices, toolLines};
}
void PrintTo(const Outcome &o, std::ostream *out) {
  auto bytes = [](const Bytes &b) { return b ? "\"" + *b + "\"" : std::string("(absent)"); };
  *out << "\n  results:";
  for (UINT result : o.results) *out << ' ' << result;
  *out << "\n  after: " << bytes(o.exe) << ", " << bytes(o.dll) << ", staged " << bytes(o.stagedExe)
       << ", " << bytes(o.stagedDll) << "\n  after the restart: " << bytes(o.exeAfterRestart)
       << ", " << bytes(o.dllAfterRestart) << "\n  notices: " << o.notices;
  for (const std::string &launch : o.launches) *out << "\n  started: " << launch;
  for (const std::string &line : o.toolLines) *out << "\n  log: " << line;
  for (const std::string &line : o.log) *out << "\n  whole log: " << line;
  *out << "\n";
}

// What a family does with the package.
struct Facts {
  std::string tool;      // its launch: "halunupd.exe as LocalSystem" (a service) or "as user"
  bool schedules;        // a replacement can wait for the restart
  bool processList;      // the tool lists the running programs with psapi
  std::string toolPath;  // where the package installs it
};

// RunHalunupd's line for a status, as the installer's log shows it, with the
// meaning of its row (or `meaning`).
std::string Ended(RunStatus status, const char *meaning = "") {
#define HALUNUPD_STATUS(name, code, treat, starts, done, text) \
  if (!*meaning && status == name) meaning = text;
#include "base/statuses.inc"
#undef HALUNUPD_STATUS
  return "halunupd.exe ended with status " + std::to_string(status) + ": " + meaning;
}
const std::string kFresh = Ended(RUN_FRESH_INSTALL);
const std::string kSame = Ended(RUN_SAME_VERSION);
const std::string kReplaced = Ended(RUN_REPLACED);
const std::string kAtRestart = Ended(RUN_RESTART_NEEDED);
const std::string kUnscheduled = Ended(
    RUN_RESTART_NEEDED, "restart needed, but nothing is scheduled for it: the update was not installed");
const std::string kScanFailed = Ended(RUN_SCAN_FAILED);
const std::string kTool = "halunupd.exe as ", kResident = "halunexe.exe as user";

using Expect = std::function<Outcome(const Facts &)>;
// An outcome the same on every family.
Expect Always(Outcome outcome) { return [outcome](const Facts &) { return outcome; }; }
// One pass leaving the pair `exe` and `dll` settled, the tool then the resident started, `notices`
// copies told, and the tool's line `line`.
Expect Started(const std::string &exe, const std::string &dll, size_t notices, const std::string &line) {
  return [=](const Facts &f) { return Settled({0}, exe, dll, {f.tool, kResident}, notices, {line}); };
}
// A removal that leaves nothing, before the restart or after it, with `notices` copies told.
Outcome Gone(size_t notices) { return Outcome{{0}, {}, {}, {}, {}, {}, {}, {}, notices, {}}; }

struct PassCase {
  const char *label;
  Step arrange;
  std::vector<sim::msi::Pass> passes;
  Expect expect;
};

// The resident, as the machine runs it: it holds its executable and library
// and answers the notice on its stub window, in its session, letting its
// library go and ending `leavesAfterMs` later. A file stays in use while a
// running copy holds it: the executable until the last copy has ended.
sim::ProgramMain ResidentProgram(uint64_t leavesAfterMs = 0) {
  return [leavesAfterMs](sim::Process &self) {
    sim::Machine &m = sim::M();
    for (const char *name : {"halunexe.exe", "halundll.dll"})
      if (m.FindFile(Sys(name))) m.LockFile(Sys(name), sim::kForever);
    auto answer = [id = self.id, leavesAfterMs](UINT message, WPARAM, LPARAM) -> LRESULT {
      sim::Machine &m = sim::M();
      if (message != NOTICE_MESSAGE) return 0;
      if (sim::Process *resident = m.FindProcess(id)) resident->endsAtMs = m.nowMs + leavesAfterMs;
      uint64_t exeUntil = 0, dllUntil = 0;
      for (const sim::Process &copy : m.Processes())
        if (copy.baseName == "halunexe.exe" && m.IsRunning(copy)) {
          exeUntil = std::max(exeUntil, copy.endsAtMs);
          if (copy.endsAtMs == sim::kForever) dllUntil = sim::kForever;  // not told yet
        }
      if (sim::File *exe = m.FindFile(Sys("halunexe.exe"))) exe->lockedUntil = exeUntil;
      if (sim::File *dll = m.FindFile(Sys("halundll.dll"))) dll->lockedUntil = dllUntil;
      return 0;
    };
    sim::Window &stub = m.AddWindow(STUB_WINDOW_CLASS, answer);
    stub.processId = self.id;
    stub.session = self.identity.session;
  };
}

// `copies` copies of the resident (ids 1200, 1204, ...) started earlier by the
// user, with 4.50 installed.
Step ResidentsRunning(DWORD copies, uint64_t leavesAfterMs = 0) {
  return [=] {
    Install("4.50");
    sim::M().RegisterProgram(Sys("halunexe.exe"), ResidentProgram(leavesAfterMs));
    for (DWORD i = 0; i < copies; ++i)
      sim::M().StartProgram(Sys("halunexe.exe"), sim::Fold(Sys("halunexe.exe")), 1200 + 4 * i);
  };
}

const Step kNewerInstalled = Installed("4.60", "new exe", "new dll");
const Step kStagedOverOld = Steps({Installed("4.50"), Staged("4.60")});
const Step kLibraryHeld = Steps({Installed("4.50"), Locked("halundll.dll")});
const PassCase kPassCases[] = {
    {"fresh install", [] {}, {kInstall460}, Started(kNew, kNewDll, 0, kFresh)},
    {"the resident running in the user's session, another version", ResidentsRunning(1),
     {kInstall460}, Started(kNew, kNewDll, 1, kReplaced)},
    {"the library held by another program", kLibraryHeld, {kInstall460},
     [](const Facts &f) {
       if (f.schedules)
         return Outcome{{3010}, kNew, kOldDll, {}, kNewDll, kNew, kNewDll, {f.tool}, 0, {kAtRestart}};
       return Settled({1603}, kNew, kOldDll, {f.tool}, 0, {kUnscheduled});
     }},
    {"the running programs cannot be listed", Steps({Installed("4.50"), Unbound("psapi.dll", "")}),
     {kInstall460},
     [](const Facts &f) {
       if (f.processList)
         return Settled({1603}, kOld, kOldDll, {f.tool}, 0, {kScanFailed});
       return Started(kNew, kNewDll, 0, kReplaced)(f);
     }},
    // The older package removed first, as its major upgrade does, then the
    // newer one installed while the resident the first started runs.
    {"an upgrade", [] {}, {kInstall450, kUpgradeRemoving, kInstall460},
     [](const Facts &f) {
       return Settled({0, 0, 0}, kNew, kNewDll, {f.tool, kResident, f.tool, kResident}, 1,
                      {kFresh, kReplaced});
     }},
    {"a repair that stages the same version again", [] {}, {kInstall460, kInstall460},
     [](const Facts &f) {
       return Settled({0, 0}, kNew, kNewDll, {f.tool, kResident, f.tool}, 0, {kFresh, kSame});
     }},
    {"a maintenance pass that stages nothing", [] {}, {kInstall460, kUnchanged},
     [](const Facts &f) { return Settled({0, 0}, kNew, kNewDll, {f.tool, kResident}, 0, {kFresh}); }},
    {"an older package's repair over a newer pair", kNewerInstalled, {kInstall450},
     Always(Settled({1603}, kNew, kNewDll, {}, 0,
                    {"halunupd.exe was not started: the staged halunexe.exe has version 4.50,"
                     " older than the installed 4.60"}))},
    {"an older package with a version text too long to compare, over a newer pair", kNewerInstalled,
     {kInstallLongVersion}, Started(kOld, kOldDll, 0, kReplaced)},
    // The removal takes the pair: the staged library the delayed move names
    // goes, so that the restart puts nothing in place, and the held library
    // is deleted then, where the platform can.
    {"a removal while a replacement waits for the restart", kLibraryHeld, {kInstall460, kRemoving},
     [](const Facts &f) {
       if (f.schedules)
         return Outcome{{3010, 3010}, {}, kOldDll, {}, {}, {}, {}, {f.tool}, 0, {kAtRestart}};
       return Outcome{{1603, 0}, {}, kOldDll, {}, {}, {}, kOldDll, {f.tool}, 0, {kUnscheduled}};
     }},
    // Held by another program, both files are deleted at the restart, where the platform can;
    // the log names them.
    {"a removal with both files held",
     Steps({Installed("4.50"), Locked("halunexe.exe"), Locked("halundll.dll")}), {kRemoving},
     [](const Facts &f) {
       const std::string removed = "halunexe.exe and halundll.dll removed: ";
       std::vector<std::string> log = {
           "halunexe.exe is removed: 0 running copies were told to close",
           removed + (f.schedules ? "2 of them deleted at the next restart, none left in place"
                                  : "0 of them deleted at the next restart, both left in place"),
           "staged copies removed; 0 kept, named by a restart-time replacement"};
       if (!f.schedules) return Outcome{{0}, kOld, kOldDll, {}, {}, kOld, kOldDll, {}, 0, {}, log};
       log.push_back("files of the removed pair are deleted at the next restart: the restart is asked for");
       return Outcome{{3010}, kOld, kOldDll, {}, {}, {}, {}, {}, 0, {}, log};
     }},
    {"a removal with staged copies no replacement names", kStagedOverOld, {kRemoving}, Always(Gone(0))},
    {"the tool cannot be started",
     Steps({Installed("4.50"), [] { sim::M().faults = {"CreateProcessA", "halunupd.exe"}; }}),
     {kInstall460},
     [](const Facts &f) {
       return Settled({1603}, kOld, kOldDll, {}, 0,
                      {"halunupd.exe could not be started: error " +
                       std::to_string(ERROR_ACCESS_DENIED) + " for " + f.toolPath});
     }},
    {"an installation without administrator rights", Installed("4.50"), {kInstallUnprivileged},
     Always(Settled({1603}, kOld, kOldDll, {}, 0, {}))},
    {"a removal with the resident running", ResidentsRunning(1), {kRemoving}, Always(Gone(1))},
    {"a removal with two copies running", ResidentsRunning(2), {kRemoving}, Always(Gone(2))},
    {"a removal with the resident ending 700 ms after it answers", ResidentsRunning(1, 700),
     {kRemoving}, Always(Gone(1))},
    // One search of the windows tells at most NOTICED_WINDOW_CAPACITY copies:
    // the copy left holds the pair.
    {"a removal with one copy more running than are told",
     ResidentsRunning(NOTICED_WINDOW_CAPACITY + 1), {kRemoving},
     [](const Facts &f) {
       if (f.schedules)
         return Outcome{{3010}, kOld, kOldDll, {}, {}, {}, {}, {}, NOTICED_WINDOW_CAPACITY, {}};
       return Settled({0}, kOld, kOldDll, {}, NOTICED_WINDOW_CAPACITY, {});
     }},
    // Without toolhelp, StartHalunexe looks for the resident's window; the row names the whole log.
    {"the resident found by its window: KERNEL32 lists no processes",
     Unbound("kernel32.dll", "CreateToolhelp32Snapshot"), {kInstall460},
     [](const Facts &f) {
       Outcome o = Started(kNew, kNewDll, 0, kFresh)(f);
       o.log = {"halunexe.exe is not replaced now: no running copy was told to close", kFresh,
                f.tool == kTool + "user" ? "halunexe.exe was not started: a copy of it runs already"
                                         : "halunexe.exe was started"};
       return o;
     }},
    {"an upgrade's removal with staged copies no replacement names", kStagedOverOld, {kUpgradeRemoving},
     Always(Settled({0}, kOld, kOldDll, {}, 0, {}))},
    // The fourth load of version.dll fails: the downgrade check's read of the staged version, which
    // then says nothing, and the tool decides.
    {"the downgrade check cannot read the staged version",
     Steps({Installed("4.50"), [] { sim::M().faults = {"LoadLibraryA", "version.dll", 3}; }}), {kInstall460},
     Started(kNew, kNewDll, 0, kReplaced)},
};

class PackageTest : public RowTest<PassCase> {
 protected:
  void SetUp() override {
    RowTest<PassCase>::SetUp();
    package_ = ThePackage();
    // The tool where the package installs it, and the resident.
    for (const sim::msi::Component &component : package_.components)
      if (component.fileId == "HalunupdExe")
        toolPath_ = component.directory + "\\" + component.fileName;
    m().RegisterProgram(toolPath_, [](sim::Process &self) {
      self.exitCode = static_cast<DWORD>(static_cast<INT>(RunUpgrade()));
      self.endsAtMs = sim::M().nowMs;
    });
    m().RegisterProgram(Sys("halunexe.exe"), ResidentProgram());
  }
  sim::msi::Package package_;
  std::string toolPath_;
};

TEST_P(PackageTest, PassesLeaveWhatThePackageMeans) {
  C().arrange();
  const size_t launchedBefore = m().Launches().size();
  Outcome got;
  for (const sim::msi::Pass &pass : C().passes) {
    sim::msi::PassResult result = sim::msi::RunPass(package_, kDll, pass);
    got.results.push_back(result.result);
    for (const std::string &line : result.session.log)
      if (line.compare(0, 13, "halunupd.exe ") == 0) got.toolLines.push_back(line);
    got.log.insert(got.log.end(), result.session.log.begin(), result.session.log.end());
    // A deferred action asks the installer nothing it refuses.
    EXPECT_EQ(std::vector<std::string>(), result.session.refused) << "refused by the installer";
  }
  const MachineState after = Snapshot();
  got.exe = after.exe, got.dll = after.dll, got.stagedExe = after.stagedExe,
  got.stagedDll = after.stagedDll;
  for (size_t i = launchedBefore; i < m().Launches().size(); ++i) {
    const sim::Launch &launch = m().Launches()[i];
    got.launches.push_back(sim::BaseNameOf(launch.program) + " as " + launch.startedBy.account);
    // The tool is run hidden, from the system directory.
    if (launch.program == toolPath_) {
      EXPECT_EQ("\"" + toolPath_ + "\"", launch.commandLine);
      EXPECT_EQ(static_cast<DWORD>(STARTF_USESHOWWINDOW), launch.startupFlags);
      EXPECT_EQ(SW_HIDE, launch.showWindow);
      EXPECT_EQ(m().systemDir, launch.currentDirectory);
      EXPECT_FALSE(launch.inheritHandles) << "the installer's handles inherited";
      EXPECT_TRUE(launch.startupOtherwiseZero) << "a field of its STARTUPINFOA set";
    }
  }
  got.notices = after.notices.size();
  // The actions run in the installer's process: every handle they opened is closed.
  EXPECT_EQ((std::map<std::string, int>()), m().OpenHandlesByKind()) << "handles left open";
  EXPECT_EQ(0, m().LoadedLibraryCount()) << "library references left";
  m().Restart();
  const MachineState restarted = Snapshot();
  got.exeAfterRestart = restarted.exe, got.dllAfterRestart = restarted.dll;

  const bool service = F().platformId == VER_PLATFORM_WIN32_NT;
  const Facts facts{kTool + (service ? "LocalSystem" : "user"), F().restart != Restart::None,
                    F().shared.notice == Notice::ProcessList, toolPath_};
  const Outcome expected = C().expect(facts);
  if (expected.log.empty()) got.log.clear();
  EXPECT_EQ(expected, got);
  EXPECT_EQ(std::vector<std::string>(), m().Defects());
}
INSTANTIATE_TEST_SUITE_P(Passes, PackageTest, Rows(AllFamilies(), kPassCases), RowName());

}  // namespace
