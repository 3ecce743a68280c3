#include "harness.h"

#include <cstdio>
#include <cstdlib>

#include "base/text.h"
#include "platform/sim/machine.h"
#include "run/run.h"
#include "support/families.h"
#include "support/invariant.h"

namespace fuzzing {

uint8_t Reader::Byte() { return at_ < size_ ? data_[at_++] : 0; }

uint16_t Reader::Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

uint32_t Reader::Dword() { return static_cast<uint32_t>(Word()) | (static_cast<uint32_t>(Word()) << 16); }

std::string Reader::Text(size_t maxLength) {
  size_t length = Word() % (maxLength + 1);
  std::string text;
  while (text.size() < length && !AtEnd()) text += static_cast<char>(Byte());
  return text;
}

std::string Reader::Rest() {
  std::string rest;
  while (!AtEnd()) rest += static_cast<char>(Byte());
  return rest;
}

std::string WithoutWildcards(std::string text) {
  for (char &c : text)
    if (c == '*' || c == '?') c = '_';
  return text;
}

namespace {

const std::string kMarkerKey = sim::StringTable().at(TEXT_MARKER_KEY);

// Where the tool's system directory really is (on a 64-bit machine, its
// WOW64 directory).
std::string SysPath(const char *name) { return sim::M().SystemFilesDir() + "\\" + name; }

[[noreturn]] void Violated(const std::string &what) {
  std::fprintf(stderr, "guarantee broken: %s", what.c_str());
  std::abort();
}

}  // namespace

void SetUpMachine(Reader &in) {
  sim::Reset();
  ResetRunState();
  sim::Machine &m = sim::M();
  uint8_t family = in.Byte();
  // The families of the tests' one table: the seeds' first byte picks a
  // 32-bit one below 0xE0, a 64-bit one from 0xE0 to 0xEF, and from 0xF0 on
  // a raw report.
  using namespace testing_support;
  static const std::vector<const Family *> bits32 = Families(Where::Bits32),
                                           bits64 = Families(Where::Bits64);
  if (family >= 0xE0 && family < 0xF0) {
    UseFamily(*bits64[family % bits64.size()]);
  } else if (family < 0xF0) {
    UseFamily(*bits32[family % bits32.size()]);
  } else {
    m.version.platformId = in.Byte() % 4;
    m.version.major = in.Byte() % 12;
    m.version.minor = in.Byte();
    m.version.fails = (family & 1) != 0;
    if (m.version.platformId == VER_PLATFORM_WIN32_WINDOWS) m.systemDir = "C:\\WINDOWS\\SYSTEM";
  }
}

void PlaceProductFiles(Reader &in, bool old) {
  sim::Machine &m = sim::M();
  uint8_t layout = in.Byte();
  // Without any bit set the usual replacement layout: both pairs present.
  if (layout == 0) layout = 0x0F;
  if (layout & 1) m.PutExecutable(SysPath("halunexe.exe"), "old exe", std::string(old ? "4.30" : "4.50"));
  if (layout & 2) m.PutFile(SysPath("halundll.dll"), "old dll");
  if (layout & 4) m.PutExecutable(SysPath("halunexe.ex$"), "new exe", std::string("4.60"));
  if (layout & 8) m.PutFile(SysPath("halundll.dl$"), "new dll");
  if ((layout & 0x10) && (layout & 1)) m.LockFile(SysPath("halunexe.exe"), sim::kForever);
  if ((layout & 0x20) && (layout & 2)) m.LockFile(SysPath("halundll.dll"), 2500);
  if (layout & 0x40) {
    m.AddProcess(1200, SysPath("halunexe.exe"), "halunexe.exe");
    sim::Window &window = m.AddWindow("HALUNSHOW_STUB");
    if (layout & 0x80) {
      // How the resident takes the notice: how long its handler takes (or
      // whether it never returns, or is hung), and when after answering it
      // ends, its executable in use until then.
      uint8_t mode = in.Byte();
      const uint64_t handling[] = {0, 29000, 31000, sim::kForever};
      const uint64_t endsAfter[] = {0, 700, 6000, sim::kForever};
      window.handlingMs = handling[mode & 3];
      window.hung = (mode & 4) != 0;
      uint64_t after = endsAfter[(mode >> 3) & 3];
      bool exeInUse = (layout & 1) != 0;
      if (exeInUse) m.LockFile(SysPath("halunexe.exe"), sim::kForever);
      const std::string exe = SysPath("halunexe.exe");
      window.handler = [after, exe, exeInUse](UINT, WPARAM, LPARAM) -> LRESULT {
        sim::Machine &machine = sim::M();
        uint64_t end = after == sim::kForever ? sim::kForever : machine.nowMs + after;
        if (sim::Process *resident = machine.FindProcess(1200)) resident->endsAtMs = end;
        sim::File *file = machine.FindFile(exe);
        if (exeInUse && file && file->lockedUntil == sim::kForever) file->lockedUntil = end;
        return 0;
      };
    }
  }
}

// A fault named by operation and occurrence: one call of the chosen
// operation fails. (Repeated failures are the fault sweep's: there an
// installed copy deleted just before can be out of the restart's reach,
// which this harness's guarantee does not excuse.)
void ChooseFault(Reader &in) {
  // Every operation of the simulator that can be made to fail.
  static const char *const kOperations[] = {"CloseHandle",
                                            "CopyFileA",
                                            "CreateFileA",
                                            "CreateProcessA",
                                            "CreateToolhelp32Snapshot",
                                            "DeleteFileA",
                                            "EnumProcessModules",
                                            "EnumProcesses",
                                            "FindClose",
                                            "FindFirstFileA",
                                            "FindWindowA",
                                            "FreeLibrary",
                                            "GetFileVersionInfoA",
                                            "GetFileVersionInfoSizeA",
                                            "GetModuleBaseNameA",
                                            "GetProcAddress",
                                            "GetShortPathNameA",
                                            "GetSystemDirectoryA",
                                            "GetSystemWow64DirectoryA",
                                            "GetVersionExA",
                                            "GetWindowsDirectoryA",
                                            "HeapAlloc",
                                            "IsWow64Process",
                                            "LoadLibraryA",
                                            "LoadStringA",
                                            "MoveFileExA",
                                            "OpenProcess",
                                            "Process32First",
                                            "Process32Next",
                                            "ReadFile",
                                            "RegCloseKey",
                                            "RegOpenKeyExA",
                                            "RegQueryValueExA",
                                            "RegSetValueExA",
                                            "SendMessageTimeoutA",
                                            "SetEndOfFile",
                                            "SetFilePointer",
                                            "VerQueryValueA",
                                            "WaitForSingleObject",
                                            "WriteFile"};
  uint16_t word = in.Word();
  if (!(word & 0x8000)) return;
  sim::FaultPlan &plan = sim::M().faults;
  plan.operation = kOperations[(word & 0xFF) % (sizeof kOperations / sizeof kOperations[0])];
  plan.occurrence = (word >> 8) & 0x7;
}

void AddMarkerKey() { sim::M().AddKey(sim::M().RedirectedKey(kMarkerKey)); }

void RunAndCheck() {
  testing_support::ManagedSnapshot before = testing_support::SnapshotManagedFiles();
  RunStatus status = RunUpgrade();
  sim::M().faults = sim::FaultPlan();
  std::string violations = testing_support::CheckRunEnd(before, status);
  if (!violations.empty()) Violated(violations);
}

}  // namespace fuzzing
