// A simulated Windows machine for host tests: it implements the operations of
// src/platform/win32.h with Windows semantics over in-memory state that a
// test configures and inspects. Paths, registry keys, window classes and
// library names are matched without regard to ASCII letter case.
//
// Every operation the tool can call logs itself and can be made to fail by a
// fault plan. Whatever the simulator does not model aborts with a message
// rather than quietly succeeding.
#ifndef HALUNUPD_SIM_MACHINE_H
#define HALUNUPD_SIM_MACHINE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../win32.h"

namespace sim {

constexpr uint64_t kForever = UINT64_MAX;

// One string-information block of a version resource.
struct VersionTable {
  std::string translation = "040904b0";
  std::map<std::string, std::string> values;  // e.g. "FileVersion" -> "4.50"
};

struct VersionResource {
  std::vector<VersionTable> tables;
  // When set, GetFileVersionInfoA hands out these bytes as the block instead.
  std::optional<std::string> rawBlock;
  // When set, VerQueryValueA succeeds with a pointer this many bytes into the
  // caller's block, whatever lies there; or, with `answerOutside`, with a
  // pointer to a text outside the block.
  std::optional<size_t> answerAt;
  bool answerOutside = false;
  // With `answerAt`, VerQueryValueA fails although it sets the pointer.
  bool answerFails = false;
};

struct File {
  std::string bytes;
  std::optional<VersionResource> version;
  // Deleting or overwriting fails with `lockError` until the virtual clock
  // reaches this time (kForever: locked throughout).
  uint64_t lockedUntil = 0;
  DWORD lockError = ERROR_SHARING_VIOLATION;
};

struct RegValue {
  DWORD type = REG_SZ;
  std::string bytes;
};

struct RegKey {
  std::map<std::string, RegValue> values;  // by folded name
  bool refused = false;                     // KEY_ALL_ACCESS is refused
};

// Who a program runs as: the account and the session of its desktop.
struct Identity {
  std::string account;
  DWORD session = 0;
  bool operator==(const Identity &other) const {
    return account == other.account && session == other.session;
  }
};
// The user logged on at the console, and the system's own account, whose
// services run in session 0.
inline const Identity kUser{"user", 1};
inline const Identity kLocalSystem{"LocalSystem", 0};

struct Process {
  DWORD id = 0;
  // As the snapshot reports it, and as the main module reports it. A name
  // that does not fit the caller's field fills it with no zero byte.
  std::string imagePath;
  std::string baseName;
  bool openable = true;
  bool modulesReadable = true;
  // The process ends when the virtual clock reaches this time: it is then no
  // longer listed or opened, and a wait on a handle to it is satisfied.
  uint64_t endsAtMs = kForever;
  Identity identity = kUser;
  // What GetExitCodeProcess reports once it has ended.
  DWORD exitCode = 0;
};

// What a simulated program does when it is started: it runs in the caller's
// process context until it returns; a program that ends sets
// `self.endsAtMs` (and its exit code), one that keeps running leaves it.
using ProgramMain = std::function<void(Process &self)>;

// A window: its class and what it does when a message arrives.
struct Window {
  std::string className;
  // What handling a message does, once the handling is over.
  std::function<LRESULT(UINT, WPARAM, LPARAM)> handler;
  // Virtual time the handling takes (kForever: the handler never returns).
  // A sender that gives up first sees nothing of what the handler does.
  uint64_t handlingMs = 0;
  // The system regards the window's thread as not responding: a send with
  // SMTO_ABORTIFHUNG returns at once, undelivered. A handler that outlasts a
  // send's limit of 5 s or more leaves the window hung.
  bool hung = false;
  std::vector<UINT> received;
  // The process that made it (0: none modelled, the window stays until the
  // programs end): it is gone once that process has ended. Only a caller in
  // its session finds it.
  DWORD processId = 0;
  DWORD session = kUser.session;
};

struct Library {
  std::map<std::string, FARPROC> exports;
  int references = 0;
};

struct DelayedMove {
  std::string from, to;
  DWORD flags;
  // As the value lists it: in NT form ("\\??\\" before each path), as
  // MoveFileEx writes it, or, as a program writing the value itself may,
  // without.
  bool ntForm = true;
};

struct Launch {
  std::string applicationName;  // "(null)" when none was passed
  std::string commandLine;
  // The program started: the application name, or without one the program
  // the command line names as Windows reads it; "" when none was started.
  std::string program;
  bool inheritHandles;
  DWORD creationFlags;
  // Every field of the STARTUPINFOA after its size is zero, but its flags
  // and the fields they say are used (wShowWindow with STARTF_USESHOWWINDOW).
  bool startupOtherwiseZero;
  DWORD startupFlags = 0;
  WORD showWindow = 0;
  std::string currentDirectory;  // "(null)" when none was passed
  Identity startedBy;            // the caller's identity
  DWORD processId = 0;
};

struct Call {
  std::string name;
  std::vector<std::string> args;
  bool failed = false;  // failed by the fault plan
  uint64_t atMs = 0;    // the virtual clock when it was made
  bool faultable = false;
  // The file it acts on, by folded base name, when its first argument is a
  // path ("" otherwise); and how many faultable calls of the same name on
  // that file (or, without one, of the same name) came before it in the run.
  std::string subject;
  int occurrence = 0;
};

// Which faultable calls fail, named by operation and occurrence, so that a
// plan keeps its meaning when the tool reorders its calls: the calls named
// `operation` (whose first argument is a path to the file `subject`, when
// set), all of them or only the one at `occurrence` (counted from 0); with
// `onward`, every faultable call from that one on fails too, as when the
// tool's process is stopped there.
struct FaultPlan {
  std::string operation;  // "": nothing fails
  std::string subject;    // folded base name, e.g. "halundll.dll"; "": any
  int occurrence = -1;    // -1: every matching call
  bool onward = false;
  // The chosen call, when it is a CopyFileA that would have succeeded,
  // stops part-way: its target holds the first half of the source's bytes,
  // with the source's version resource when `tornKeepsVersion` is set.
  bool tearCopy = false;
  bool tornKeepsVersion = false;
  // Set by the machine once the chosen call was made; a new plan starts
  // unreached.
  bool reached = false;
  // "the second DeleteFileA of halundll.dll, and every call after it".
  std::string Describe() const;
};

struct VersionReport {
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD major = 5;
  DWORD minor = 1;
  bool fails = false;
};

class Machine {
 public:
  Machine();

  // Configuration.
  VersionReport version;
  std::string systemDir = "C:\\WINDOWS\\SYSTEM32";
  std::string windowsDir = "C:\\WINDOWS";
  // When set, GetSystemDirectoryA copies these bytes and returns this value
  // instead of following the real rules.
  std::optional<std::pair<std::string, UINT>> systemDirOverride;
  std::optional<std::pair<std::string, UINT>> windowsDirOverride;
  // A 64-bit Windows, where the tool runs under WOW64: it is shown
  // `systemDir`, but its file operations on paths in that directory reach
  // `wow64Dir` instead, where the files of 32-bit programs are, and its
  // registry operations on HKLM\Software reach HKLM\Software\Wow6432Node.
  // The restart-time moves run natively and are not redirected. KERNEL32's
  // IsWow64Process says so; GetSystemWow64DirectoryA reports `wow64Dir` (or
  // `wow64DirOverride`), and fails on a 32-bit machine.
  bool is64Bit = false;
  std::string wow64Dir = "C:\\WINDOWS\\SysWOW64";
  std::optional<std::pair<std::string, UINT>> wow64DirOverride;
  // The caller lacks the right to register delayed moves (not elevated):
  // MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT fails with access denied.
  bool delayedMovesRefused = false;
  // Bytes the list of delayed moves carries after its end, as a program that
  // wrote the value itself may leave them.
  std::string pendingMovesTail;
  FaultPlan faults;
  bool createProcessFails = false;
  // Who the calls are made as; a program started inherits it. ADVAPI32's
  // token functions report it on Windows NT (LocalSystem as S-1-5-18, any
  // other account as an ordinary user's SID); on Windows 95, 98 and ME, which
  // have no accounts, OpenProcessToken fails with ERROR_CALL_NOT_IMPLEMENTED.
  Identity caller = kUser;
  // The calls are made in the installer's process, running a custom action
  // DLL: LoadStringA(NULL, ...) reads that process's table, which holds none
  // of the tool's texts (a defect); the DLL's module (kCustomActionModule)
  // holds them. A simulated program started from there runs in its own.
  bool inInstallerProcess = false;
  // GetTickCount reports the virtual clock plus this (to test wrap-around).
  DWORD tickBase = 0;
  // Another program at work while the tool runs: called with the name of
  // each call the tool makes, just before the call. The operations it makes
  // itself are logged like the tool's.
  std::function<void(const std::string &call)> otherProgram;

  // Files.
  void PutFile(const std::string &path, const std::string &bytes);
  void PutExecutable(const std::string &path, const std::string &bytes,
                     const std::optional<std::string> &fileVersion);
  bool HasFile(const std::string &path) const;
  // The file's bytes; for a missing file the text "(missing file <path>)",
  // so that the comparison fails the one test that asked.
  std::string FileBytes(const std::string &path) const;
  // The directories that exist: the system, Windows and (on a 64-bit
  // machine) WOW64 directories, those holding a file, and their parents. A
  // file cannot be created, copied or moved into any other.
  bool DirectoryExists(const std::string &directory) const;
  File *FindFile(const std::string &path);
  void RemoveFile(const std::string &path);
  // Puts a file, with its version resource and lock, at `path`.
  void PutFileRecord(const std::string &path, const File &file);
  File &FileAt(const std::string &path);  // made empty when missing
  void LockFile(const std::string &path, uint64_t untilMs, DWORD error = ERROR_SHARING_VIOLATION);
  std::vector<std::string> FilePaths() const;  // folded

  // Registry under HKEY_LOCAL_MACHINE.
  RegKey &AddKey(const std::string &path);
  RegKey *FindKey(const std::string &path);
  void RemoveKey(const std::string &path);
  void SetValue(const std::string &key, const std::string &name, DWORD type,
                const std::string &bytes);
  std::optional<RegValue> GetValue(const std::string &key, const std::string &name);

  // Libraries. Those of the system directory, by base name: the machine
  // starts with KERNEL32, psapi and version, whose exports a test may edit;
  // asking for one that is not there aborts.
  Library &SystemLibrary(const std::string &name);
  void RemoveSystemLibrary(const std::string &name);
  // A library placed beside the tool, found first for a bare name unless the
  // process has it mapped already (KERNEL32, USER32 and ADVAPI32 it imports).
  void PlaceBesideTool(const std::string &name, const Library &library);

  // Short (8.3) form that GetShortPathNameA reports for `longPath`; a path
  // without one is reported unchanged, as one already short.
  void SetShortPath(const std::string &longPath, const std::string &shortForm);

  // Processes and windows. What AddProcess returns stays valid while the
  // machine lives, what AddWindow returns until EndPrograms removes the
  // windows.
  Process &AddProcess(DWORD id, const std::string &imagePath, const std::string &baseName);
  Process *FindProcess(DWORD id);  // nullptr when not in the list
  const std::deque<Process> &Processes() const { return processes_; }
  bool IsRunning(const Process &process) const { return nowMs < process.endsAtMs; }
  // Moves the virtual clock on by `ms`.
  void Advance(uint64_t ms) { nowMs += ms; }
  // A program the machine runs when CreateProcessA starts the file at `path`
  // (as the caller reaches it): it is added to the process list, running as
  // the caller, and `main` runs at once.
  void RegisterProgram(const std::string &path, ProgramMain main);
  // Starts a registered program as CreateProcessA does; nullptr when `path`
  // is not one.
  Process *StartProgram(const std::string &path, const std::string &imagePath, DWORD id);
  // The window is there: its process, if it has one, still runs.
  bool IsPresent(const Window &window) const;
  Window &AddWindow(const std::string &className,
                    std::function<LRESULT(UINT, WPARAM, LPARAM)> handler = nullptr);
  // The windows in the order they were added, with the messages they received.
  const std::deque<Window> &Windows() const { return windows_; }

  // What the run did, read-only: the pauses, the moves registered for the
  // restart, the programs started, every call and every misuse.
  uint64_t nowMs = 0;
  const std::vector<DWORD> &Sleeps() const { return sleeps_; }
  const std::vector<DelayedMove> &DelayedMoves() const { return delayedMoves_; }
  const std::vector<Launch> &Launches() const { return launches_; }
  const std::vector<Call> &Calls() const { return calls_; }
  // Misuse of the interface by the caller.
  const std::vector<std::string> &Defects() const { return defects_; }
  // A move registered for the restart, by the tool or (in a test) an earlier
  // run or another program.
  void QueueDelayedMove(const DelayedMove &move) { delayedMoves_.push_back(move); }
  DWORD lastError = 0;               // what GetLastError reports

  // Names of the logged calls, in order; and those of one name.
  std::vector<std::string> CallNames() const;
  std::vector<const Call *> CallsNamed(const std::string &name) const;

  // Resources still held by the caller.
  int OpenHandleCount() const;
  std::map<std::string, int> OpenHandlesByKind() const;
  int LoadedLibraryCount() const;  // references not released
  int LiveAllocationCount() const { return static_cast<int>(allocations_.size()); }
  int AllocationCount() const { return allocationsMade_; }

  // Where the files the tool reaches in its system directory really are:
  // `wow64Dir` on a 64-bit machine, `systemDir` elsewhere.
  std::string SystemFilesDir() const { return is64Bit ? wow64Dir : systemDir; }
  // The file or registry key a path the tool names reaches, after the
  // redirection of a 64-bit machine.
  std::string RedirectedPath(const std::string &path) const;
  std::string RedirectedKey(const std::string &key) const;

  // Every other program ends: its processes are no longer running, their
  // windows are gone and every file they held (see LockFile) is let go.
  void EndPrograms();
  // The tool's process ended without cleaning up after itself, as when it is
  // killed: Windows closes every handle it held, unmaps its libraries and
  // frees its heap.
  void EndToolProcess();
  // TRUE when the call being made is the one the fault plan tears.
  bool TearsThisCall() const;

  // Performs what the next restart does: every program ends (EndPrograms),
  // then the delayed moves, in order, each
  // onto an existing file only with MOVEFILE_REPLACE_EXISTING; and on
  // Windows 98/ME the [Rename] section of wininit.ini, whose lines
  // ("target=source", blanks around "=" allowed) replace the target, and
  // "NUL=source" deletes the source; the file is then kept as wininit.bak.
  // The renames are carried out before Windows starts, where only short
  // names exist: a line naming a path in a directory that has a short form
  // other than itself (see SetShortPath) is skipped, and short forms name their
  // long directories. A move into a directory that does not exist is skipped.
  void Restart();

  // --- used by the simulated operations ---
  enum class HandleKind { Find, File, Key, Process, Snapshot, Thread, Heap, Token };
  struct HandleObject {
    HandleKind kind;
    std::string path;  // file or key path, folded
    DWORD access = 0, share = 0;
    uint64_t position = 0;
    std::vector<Process> snapshot;
    size_t cursor = 0;
    DWORD processId = 0;
  };
  void Defect(const std::string &what) { defects_.push_back(what); }
  void RecordSleep(DWORD ms) { sleeps_.push_back(ms); }
  Launch &RecordLaunch(const Launch &launch) {
    launches_.push_back(launch);
    return launches_.back();
  }
  // Logs a call; TRUE when the fault plan makes it fail.
  bool Enter(const char *name, std::vector<std::string> args, bool faultable = true);
  HANDLE NewHandle(HandleObject object);
  HandleObject *Lookup(HANDLE handle, HandleKind kind);
  bool Release(HANDLE handle, HandleKind kind);
  void *Allocate(size_t size);
  bool Free(void *block);
  HMODULE LoadLibrary(const std::string &name);
  Library *LibraryOf(HMODULE module);
  bool UnloadLibrary(HMODULE module);
  bool IsLocked(const File &file) const { return nowMs < file.lockedUntil; }
  // The window FindWindowA numbered `index`; nullptr when there is none.
  Window *WindowAt(size_t index) { return index < windows_.size() ? &windows_[index] : nullptr; }
  // What GetShortPathNameA reports for `path`.
  std::string ShortFormOf(const std::string &path) const;
  // TRUE when an open handle on the file does not share `shareNeeded`.
  bool HeldWithoutShare(const std::string &folded, DWORD shareNeeded) const;
  // TRUE when an open handle on the file uses an access `shareMode` refuses.
  bool HeldAgainst(const std::string &folded, DWORD shareMode) const;

  // Size of each version block handed out, by the block's address.
  std::map<const void *, size_t> versionBlockSizes;
  // The file each version block was read from, by the block's address.
  std::map<const void *, std::string> versionBlockOwners;

 private:
  std::deque<Process> processes_;
  std::deque<Window> windows_;
  // Libraries of the system directory and libraries beside the tool, by
  // folded base name.
  std::map<std::string, Library> systemLibraries_;
  std::map<std::string, Library> besideToolLibraries_;
  // Libraries mapped into the tool's process before it runs (it imports
  // them): a bare name finds these, never a copy beside the tool.
  std::set<std::string> mappedLibraries_ = {"kernel32.dll", "user32.dll", "advapi32.dll"};
  std::map<std::string, std::string> shortPaths_;  // by folded long path
  std::map<std::string, ProgramMain> programs_;    // by folded path
  std::map<std::string, File> files_;  // by folded path
  std::map<std::string, RegKey> keys_;  // by folded path
  std::vector<DWORD> sleeps_;
  std::vector<DelayedMove> delayedMoves_;
  std::vector<Launch> launches_;
  std::vector<Call> calls_;
  std::vector<std::string> defects_;
  std::map<uintptr_t, HandleObject> handles_;
  uintptr_t nextHandle_ = 0x1000;
  std::map<void *, size_t> allocations_;
  int allocationsMade_ = 0;
  std::map<uintptr_t, std::string> modules_;  // module handle -> library base name key
  std::map<uintptr_t, bool> moduleIsSystem_;
  std::map<std::string, uintptr_t> moduleHandles_;
  std::map<std::string, int> occurrences_;  // by name and subject, in this run
  bool currentIsChosen_ = false;            // the call being made is the chosen one
  bool inOtherProgram_ = false;
};

// The machine the simulated operations act on.
Machine &M();
// Replaces it by a fresh one: 32-bit Windows XP, C:\WINDOWS\SYSTEM32, empty
// disk and registry, the system libraries present.
void Reset();

// ASCII lower-case copy, as the machine matches names.
std::string Fold(const std::string &text);
// Directory part and base name of a backslash path.
std::string DirectoryOf(const std::string &path);
std::string BaseNameOf(const std::string &path);

// The string table as the program holds it: number -> text.
const std::map<UINT, std::string> &StringTable();

// The lines of the first [Rename] section of a wininit.ini text, as the
// restart reads them: (target, source) pairs in file order, blanks around
// each trimmed; a deletion has the target "NUL".
std::vector<std::pair<std::string, std::string>> RenameSectionLines(const std::string &text);

// Encodes a version resource into the block GetFileVersionInfoA hands out.
std::string EncodeVersionBlock(const VersionResource &resource);

// The simulator's own toolhelp, psapi and version functions, as the system
// libraries export them.
namespace exports {
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI Module32First(HANDLE snapshot, LPVOID entry);
BOOL WINAPI Module32Next(HANDLE snapshot, LPVOID entry);
BOOL WINAPI EnumProcesses(DWORD *ids, DWORD bytes, LPDWORD bytesNeeded);
BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, LPDWORD needed);
DWORD WINAPI GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size);
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle);
BOOL WINAPI GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block);
BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *value, PUINT length);
BOOL WINAPI IsWow64Process(HANDLE process, BOOL *wow64);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE *token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                DWORD length, LPDWORD needed);
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
}  // namespace exports

// Copies a directory into a caller's buffer by the rules of
// GetSystemDirectoryA and its kind; `override` gives the bytes and the result
// instead when set.
UINT ReportDirectory(const std::string &directory,
                     const std::optional<std::pair<std::string, UINT>> &override, LPSTR buffer,
                     UINT size);

// The handle GetCurrentProcess returns.
HANDLE CurrentProcessHandle();

// The module handle of the custom action DLL, as the installer's process
// has it mapped.
inline HMODULE const kCustomActionModule = reinterpret_cast<HMODULE>(uintptr_t{0x6E000000});

}  // namespace sim

#endif
