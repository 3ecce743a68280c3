// The operations of src/platform/win32.h, acted out on the simulated machine.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "machine.h"

using sim::M;
using sim::Machine;

namespace {

using Kind = Machine::HandleKind;

[[noreturn]] void NotModelled(const std::string &what) {
  std::fprintf(stderr, "simulated machine: not modelled: %s\n", what.c_str());
  std::abort();
}

std::string Text(LPCSTR text) { return text ? std::string(text) : std::string("(null)"); }
std::string Number(unsigned long long value) { return std::to_string(value); }
std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}
std::string Pointer(const void *value) {
  return value ? Hex(reinterpret_cast<uintptr_t>(value)) : std::string("NULL");
}

BOOL Fail(DWORD error) {
  M().lastError = error;
  return FALSE;
}

bool IsFreeToChange(const sim::File &file, const std::string &folded, DWORD *error) {
  if (M().IsLocked(file)) {
    *error = file.lockError;
    return false;
  }
  if (M().HeldWithoutShare(folded, FILE_SHARE_DELETE)) {
    *error = ERROR_SHARING_VIOLATION;
    return false;
  }
  return true;
}

// The file a path the tool names reaches, after any redirection.
std::string Reached(LPCSTR path) { return M().RedirectedPath(Text(path)); }

// The program a command line names when no application name is given, as
// Windows reads it: a quoted name up to its closing quote; otherwise the
// text up to each blank in turn, the first that names an existing file
// (".exe" added to a name without an extension). "" when none exists.
std::string ProgramOfCommandLine(const std::string &commandLine) {
  auto existing = [](std::string name) {
    if (sim::BaseNameOf(name).find('.') == std::string::npos) name += ".exe";
    return M().HasFile(M().RedirectedPath(name)) ? name : std::string();
  };
  if (!commandLine.empty() && commandLine[0] == '"') {
    size_t close = commandLine.find('"', 1);
    if (close == std::string::npos) close = commandLine.size();
    return existing(commandLine.substr(1, close - 1));
  }
  for (size_t blank = commandLine.find_first_of(" \t");; blank = commandLine.find_first_of(" \t", blank + 1)) {
    std::string program = existing(commandLine.substr(0, blank));
    if (!program.empty() || blank == std::string::npos) return program;
  }
}

}  // namespace

// ---------------------------------------------------------------- KERNEL32

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (M().Enter("FindFirstFileA", {Text(lpFileName)})) return INVALID_HANDLE_VALUE;
  std::string path = Reached(lpFileName);
  if (path.find_first_of("*?") != std::string::npos) NotModelled("FindFirstFileA with wildcards");
  if (!M().HasFile(path)) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::memset(lpFindFileData, 0, sizeof(*lpFindFileData));
  lpFindFileData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  lpFindFileData->nFileSizeLow = static_cast<DWORD>(M().FileBytes(path).size());
  std::string base = sim::BaseNameOf(path).substr(0, MAX_PATH - 1);
  std::memcpy(lpFindFileData->cFileName, base.c_str(), base.size() + 1);
  Machine::HandleObject object{Kind::Find};
  object.path = sim::Fold(path);
  return M().NewHandle(object);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  // A close that the fault plan fails still ends the handle's life.
  bool failed = M().Enter("FindClose", {Pointer(hFindFile)});
  bool released = M().Release(hFindFile, Kind::Find);
  return released && !failed ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (M().Enter("DeleteFileA", {Text(lpFileName)})) return FALSE;
  std::string path = Reached(lpFileName);
  sim::File *file = M().FindFile(path);
  if (!file) return Fail(ERROR_FILE_NOT_FOUND);
  DWORD error = 0;
  if (!IsFreeToChange(*file, sim::Fold(path), &error)) return Fail(error);
  M().RemoveFile(path);
  return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  bool failed =
      M().Enter("CopyFileA", {Text(lpExistingFileName), Text(lpNewFileName), Number(bFailIfExists)});
  if (failed && !M().TearsThisCall()) return FALSE;
  std::string from = Reached(lpExistingFileName), to = Reached(lpNewFileName);
  sim::File *source = M().FindFile(from);
  if (!source) return Fail(ERROR_FILE_NOT_FOUND);
  if (M().HeldWithoutShare(sim::Fold(from), FILE_SHARE_READ)) return Fail(ERROR_SHARING_VIOLATION);
  sim::File copy = *source;
  copy.lockedUntil = 0;
  if (!M().DirectoryExists(sim::DirectoryOf(to))) return Fail(ERROR_PATH_NOT_FOUND);
  if (sim::File *target = M().FindFile(to)) {
    if (bFailIfExists) return Fail(ERROR_FILE_EXISTS);
    DWORD error = 0;
    if (!IsFreeToChange(*target, sim::Fold(to), &error)) return Fail(error);
  }
  if (failed) {
    // Stopped part-way: the target holds what was written of it so far.
    copy.bytes.resize(copy.bytes.size() / 2);
    if (!M().faults.tornKeepsVersion) copy.version.reset();
    M().PutFileRecord(to, copy);
    return FALSE;
  }
  M().PutFileRecord(to, copy);
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  if (M().Enter("MoveFileExA", {Text(lpExistingFileName), Text(lpNewFileName), Number(dwFlags)}))
    return FALSE;
  if (!(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)) NotModelled("MoveFileExA without a delay");
  if (M().version.platformId != VER_PLATFORM_WIN32_NT) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (M().delayedMovesRefused) return Fail(ERROR_ACCESS_DENIED);
  // The source must be there as the tool sees it; the move is recorded with
  // the paths as named, not redirected: it is performed natively.
  if (!M().HasFile(Reached(lpExistingFileName))) return Fail(ERROR_FILE_NOT_FOUND);
  // No target: the file is deleted at the restart.
  M().QueueDelayedMove({Text(lpExistingFileName), lpNewFileName ? lpNewFileName : "", dwFlags});
  return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (M().Enter("CreateFileA", {Text(lpFileName), Hex(dwDesiredAccess), Hex(dwShareMode),
                                Pointer(lpSecurityAttributes), Number(dwCreationDisposition),
                                Hex(dwFlagsAndAttributes), Pointer(hTemplateFile)}))
    return INVALID_HANDLE_VALUE;
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > OPEN_ALWAYS)
    NotModelled("CreateFileA disposition " + Number(dwCreationDisposition));
  std::string folded = sim::Fold(Reached(lpFileName));
  sim::File *file = M().FindFile(folded);
  if (file && M().IsLocked(*file)) {
    Fail(file->lockError);
    return INVALID_HANDLE_VALUE;
  }
  // Every open handle must share what this one asks for, and this one must
  // share what each of them asks for.
  DWORD wanted = ((dwDesiredAccess & GENERIC_READ) ? FILE_SHARE_READ : 0) |
                 ((dwDesiredAccess & GENERIC_WRITE) ? FILE_SHARE_WRITE : 0);
  if (file && M().HeldWithoutShare(folded, wanted)) {
    Fail(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (file && M().HeldAgainst(folded, dwShareMode)) {
    Fail(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (file && dwCreationDisposition == CREATE_NEW) {
    Fail(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (!file && dwCreationDisposition == OPEN_EXISTING) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!file && !M().DirectoryExists(sim::DirectoryOf(folded))) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!file) {
    M().PutFileRecord(folded, sim::File());
  } else if (dwCreationDisposition == CREATE_ALWAYS) {
    file->bytes.clear();
    file->version.reset();
  }
  Machine::HandleObject object{Kind::File};
  object.path = folded;
  object.access = dwDesiredAccess;
  object.share = dwShareMode;
  return M().NewHandle(object);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPVOID lpOverlapped) {
  if (M().Enter("ReadFile", {Pointer(hFile), Number(nNumberOfBytesToRead)})) return FALSE;
  if (lpOverlapped) NotModelled("overlapped ReadFile");
  Machine::HandleObject *object = M().Lookup(hFile, Kind::File);
  if (!object || !(object->access & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED);
  const std::string &bytes = M().FileAt(object->path).bytes;
  uint64_t available = object->position < bytes.size() ? bytes.size() - object->position : 0;
  DWORD count = static_cast<DWORD>(std::min<uint64_t>(available, nNumberOfBytesToRead));
  std::memcpy(lpBuffer, bytes.data() + object->position, count);
  object->position += count;
  *lpNumberOfBytesRead = count;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPVOID lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (M().Enter("WriteFile", {Pointer(hFile), Number(nNumberOfBytesToWrite)})) return FALSE;
  if (lpOverlapped) NotModelled("overlapped WriteFile");
  Machine::HandleObject *object = M().Lookup(hFile, Kind::File);
  if (!object || !(object->access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  std::string &bytes = M().FileAt(object->path).bytes;
  if (bytes.size() < object->position + nNumberOfBytesToWrite)
    bytes.resize(object->position + nNumberOfBytesToWrite);
  std::memcpy(&bytes[object->position], lpBuffer, nNumberOfBytesToWrite);
  object->position += nNumberOfBytesToWrite;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG *lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  if (M().Enter("SetFilePointer", {Pointer(hFile), Number(lDistanceToMove), Number(dwMoveMethod)}))
    return INVALID_SET_FILE_POINTER;
  if (dwMoveMethod != FILE_BEGIN || lpDistanceToMoveHigh || lDistanceToMove < 0)
    NotModelled("SetFilePointer other than to a position from the start");
  Machine::HandleObject *object = M().Lookup(hFile, Kind::File);
  if (!object) {
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  object->position = static_cast<uint64_t>(lDistanceToMove);
  return static_cast<DWORD>(lDistanceToMove);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  if (M().Enter("SetEndOfFile", {Pointer(hFile)})) return FALSE;
  Machine::HandleObject *object = M().Lookup(hFile, Kind::File);
  if (!object || !(object->access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  M().FileAt(object->path).bytes.resize(object->position);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  bool failed = M().Enter("CloseHandle", {Pointer(hObject)});
  for (Kind kind : {Kind::File, Kind::Process, Kind::Snapshot, Kind::Thread, Kind::Token})
    if (M().Lookup(hObject, kind)) return M().Release(hObject, kind) && !failed ? TRUE : FALSE;
  M().Release(hObject, Kind::File);  // records the defect
  return Fail(ERROR_INVALID_HANDLE);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (M().Enter("GetSystemDirectoryA", {Number(uSize)})) return 0;
  return sim::ReportDirectory(M().systemDir, M().systemDirOverride, lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (M().Enter("GetWindowsDirectoryA", {Number(uSize)})) return 0;
  return sim::ReportDirectory(M().windowsDir, M().windowsDirOverride, lpBuffer, uSize);
}

// A configured short form, else the path unchanged (taken as already short).
DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer) {
  if (M().Enter("GetShortPathNameA", {Text(lpszLongPath), Number(cchBuffer)})) return 0;
  std::string result = M().ShortFormOf(Text(lpszLongPath));
  if (result.size() + 1 > cchBuffer) return static_cast<DWORD>(result.size() + 1);
  std::memcpy(lpszShortPath, result.c_str(), result.size() + 1);
  return static_cast<DWORD>(result.size());
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (M().Enter("GetVersionExA", {Number(lpVersionInformation->dwOSVersionInfoSize)}))
    return FALSE;
  if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (M().version.fails) return Fail(ERROR_INVALID_PARAMETER);
  lpVersionInformation->dwPlatformId = M().version.platformId;
  lpVersionInformation->dwMajorVersion = M().version.major;
  lpVersionInformation->dwMinorVersion = M().version.minor;
  lpVersionInformation->dwBuildNumber = 0;
  lpVersionInformation->szCSDVersion[0] = 0;
  return TRUE;
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  if (M().Enter("CreateProcessA", {Text(lpApplicationName), Text(lpCommandLine),
                                   Number(bInheritHandles), Hex(dwCreationFlags)}))
    return FALSE;
  if (lpProcessAttributes || lpThreadAttributes) NotModelled("CreateProcessA security attributes");
  if (lpEnvironment) NotModelled("CreateProcessA with an environment of its own");
  if (lpStartupInfo->cb != sizeof(STARTUPINFOA))
    NotModelled("CreateProcessA with a STARTUPINFOA of " + Number(lpStartupInfo->cb) + " bytes");
  if (lpStartupInfo->dwFlags & ~static_cast<DWORD>(STARTF_USESHOWWINDOW))
    NotModelled("CreateProcessA with STARTUPINFOA flags " + Hex(lpStartupInfo->dwFlags));
  sim::Launch launch;
  launch.applicationName = Text(lpApplicationName);
  launch.commandLine = Text(lpCommandLine);
  launch.inheritHandles = bInheritHandles != FALSE;
  launch.creationFlags = dwCreationFlags;
  STARTUPINFOA zero;
  std::memset(&zero, 0, sizeof zero);
  zero.cb = lpStartupInfo->cb;
  zero.dwFlags = lpStartupInfo->dwFlags;
  if ((zero.dwFlags & STARTF_USESHOWWINDOW) != 0) zero.wShowWindow = lpStartupInfo->wShowWindow;
  launch.startupOtherwiseZero = std::memcmp(&zero, lpStartupInfo, sizeof zero) == 0;
  launch.startupFlags = lpStartupInfo->dwFlags;
  launch.showWindow = lpStartupInfo->wShowWindow;
  launch.currentDirectory = Text(lpCurrentDirectory);
  launch.startedBy = M().caller;
  sim::Launch &recorded = M().RecordLaunch(launch);
  const DWORD id = 0x4000 + static_cast<DWORD>(M().Launches().size()) * 4;
  if (M().createProcessFails) return Fail(ERROR_FILE_NOT_FOUND);
  // The program started must exist, as the loader needs it.
  std::string program =
      lpApplicationName ? Text(lpApplicationName) : ProgramOfCommandLine(launch.commandLine);
  if (program.empty() || !M().HasFile(M().RedirectedPath(program)))
    return Fail(ERROR_FILE_NOT_FOUND);
  if (lpCurrentDirectory && !M().DirectoryExists(M().RedirectedPath(lpCurrentDirectory)))
    return Fail(ERROR_DIRECTORY);
  recorded.program = program;
  recorded.processId = id;
  // Handles with every access, as the creator gets them.
  Machine::HandleObject process{Kind::Process};
  process.processId = id;
  process.access = 0x001F0FFF;  // PROCESS_ALL_ACCESS
  lpProcessInformation->hProcess = M().NewHandle(process);
  lpProcessInformation->hThread = M().NewHandle(Machine::HandleObject{Kind::Thread});
  lpProcessInformation->dwProcessId = id;
  lpProcessInformation->dwThreadId = id + 1;
  // A simulated program runs now, to its end or until it waits for messages.
  M().StartProgram(program, program, id);
  return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  M().Enter("Sleep", {Number(dwMilliseconds)}, false);
  M().RecordSleep(dwMilliseconds);
  M().Advance(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) {
  M().Enter("GetTickCount", {}, false);
  return static_cast<DWORD>(M().tickBase + M().nowMs);
}

DWORD WINAPI GetLastError(void) {
  M().Enter("GetLastError", {}, false);
  return M().lastError;
}

// Waits on a process handle, on the virtual clock: satisfied at once when
// the process has ended (or left the list), at its end when that comes
// within the limit, else the clock moves on by the limit.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (M().Enter("WaitForSingleObject", {Pointer(hHandle), Number(dwMilliseconds)}))
    return WAIT_FAILED;
  if (M().Lookup(hHandle, Kind::Thread)) NotModelled("waiting on a thread");
  Machine::HandleObject *object = M().Lookup(hHandle, Kind::Process);
  if (!object) {
    M().Defect("WaitForSingleObject on a handle that is not an open process");
    Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!(object->access & SYNCHRONIZE)) {
    M().Defect("waiting on a process handle opened without SYNCHRONIZE");
    Fail(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  const sim::Process *process = M().FindProcess(object->processId);
  uint64_t endsAt = process ? process->endsAtMs : 0;
  if (M().nowMs >= endsAt) return WAIT_OBJECT_0;
  if (dwMilliseconds == INFINITE) {
    M().Defect("WaitForSingleObject without a time limit on a process that is still running");
    return WAIT_TIMEOUT;
  }
  if (endsAt - M().nowMs <= dwMilliseconds) {
    M().nowMs = endsAt;
    return WAIT_OBJECT_0;
  }
  M().Advance(dwMilliseconds);
  return WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (M().Enter("GetExitCodeProcess", {Pointer(hProcess)})) return FALSE;
  Machine::HandleObject *object = M().Lookup(hProcess, Kind::Process);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  const sim::Process *process = M().FindProcess(object->processId);
  if (!process) NotModelled("the exit code of a process the machine does not run");
  *lpExitCode = M().IsRunning(*process) ? STILL_ACTIVE : process->exitCode;
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) {
  NotModelled("ExitProcess(" + Number(uExitCode) + "): the tool's core never ends the process");
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  if (M().Enter("OpenProcess", {Hex(dwDesiredAccess), Number(bInheritHandle), Number(dwProcessId)}))
    return NULL;
  for (const sim::Process &process : M().Processes()) {
    if (process.id != dwProcessId || !M().IsRunning(process)) continue;
    if (!process.openable) {
      Fail(ERROR_ACCESS_DENIED);
      return NULL;
    }
    Machine::HandleObject object{Kind::Process};
    object.processId = dwProcessId;
    object.access = dwDesiredAccess;
    return M().NewHandle(object);
  }
  Fail(ERROR_INVALID_PARAMETER);
  return NULL;
}

// The pseudo-handle of the calling process: never fails, never closed.
HANDLE WINAPI GetCurrentProcess(void) {
  M().Enter("GetCurrentProcess", {}, false);
  return sim::CurrentProcessHandle();
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (M().Enter("LoadLibraryA", {Text(lpLibFileName)})) return NULL;
  HMODULE module = M().LoadLibrary(Text(lpLibFileName));
  if (!module) Fail(ERROR_MOD_NOT_FOUND);
  return module;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (M().Enter("GetProcAddress", {Pointer(hModule), Text(lpProcName)})) return NULL;
  sim::Library *library = M().LibraryOf(hModule);
  if (!library || library->references == 0) {
    M().Defect("GetProcAddress on a module that is not loaded");
    Fail(ERROR_INVALID_HANDLE);
    return NULL;
  }
  auto found = library->exports.find(Text(lpProcName));
  if (found == library->exports.end()) {
    Fail(ERROR_PROC_NOT_FOUND);
    return NULL;
  }
  return found->second;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  bool failed = M().Enter("FreeLibrary", {Pointer(hLibModule)});
  return M().UnloadLibrary(hLibModule) && !failed ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

HANDLE WINAPI GetProcessHeap(void) {
  M().Enter("GetProcessHeap", {}, false);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFF0000));
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (M().Enter("HeapAlloc", {Pointer(hHeap), Hex(dwFlags), Number(dwBytes)})) return NULL;
  if (reinterpret_cast<uintptr_t>(hHeap) != 0x7FFF0000) NotModelled("a heap other than the process heap");
  void *block = M().Allocate(dwBytes);
  if (dwFlags & HEAP_ZERO_MEMORY) std::memset(block, 0, dwBytes);
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  M().Enter("HeapFree", {Pointer(hHeap), Hex(dwFlags), Pointer(lpMem)}, false);
  return M().Free(lpMem) ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  return std::strcpy(lpString1, lpString2);
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  return std::strcat(lpString1, lpString2);
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

// The simulator compares byte by byte; Windows compares by the user's locale,
// which agrees for the equality tests the tool makes.
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  int result = std::strcmp(lpString1, lpString2);
  return result < 0 ? -1 : result > 0 ? 1 : 0;
}

// ---------------------------------------------------------------- USER32

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (M().Enter("LoadStringA", {Pointer(hInstance), Number(uID), Number(cchBufferMax)})) return 0;
  if (cchBufferMax <= 0) NotModelled("LoadStringA without a buffer");
  if (M().inInstallerProcess && hInstance == NULL) {
    M().Defect("LoadStringA(NULL, " + Number(uID) +
               ") in a custom action DLL reads the installer's own table");
    lpBuffer[0] = 0;
    Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  if (hInstance != NULL && !(M().inInstallerProcess && hInstance == sim::kCustomActionModule))
    NotModelled("LoadStringA from another module");
  auto found = sim::StringTable().find(uID);
  if (found == sim::StringTable().end()) {
    lpBuffer[0] = 0;
    Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  size_t count = std::min<size_t>(found->second.size(), static_cast<size_t>(cchBufferMax - 1));
  std::memcpy(lpBuffer, found->second.data(), count);
  lpBuffer[count] = 0;
  return static_cast<int>(count);
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  M().Enter("wsprintfA", {Text(lpFmt)}, false);
  // wsprintfA writes at most 1024 bytes, its zero byte included.
  const size_t limit = 1024;
  std::string out;
  va_list args;
  va_start(args, lpFmt);
  for (const char *p = lpFmt; *p; ++p) {
    if (*p != '%') {
      out += *p;
    } else if (p[1] == 's') {
      const char *argument = va_arg(args, const char *);
      out += argument ? argument : "(null)";
      ++p;
    } else if (p[1] == '%') {
      out += '%';
      ++p;
    } else {
      NotModelled(std::string("wsprintfA conversion %") + p[1]);
    }
  }
  va_end(args);
  if (out.size() > limit - 1) out.resize(limit - 1);
  std::memcpy(lpOut, out.c_str(), out.size() + 1);
  return static_cast<int>(out.size());
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  if (M().Enter("FindWindowA", {Text(lpClassName), Text(lpWindowName)})) return NULL;
  if (lpWindowName) NotModelled("FindWindowA by window name");
  // Only the windows of the caller's session, of processes still running.
  for (size_t i = 0; i < M().Windows().size(); ++i) {
    const sim::Window &window = M().Windows()[i];
    if (sim::Fold(window.className) == sim::Fold(Text(lpClassName)) &&
        window.session == M().caller.session && M().IsPresent(window))
      return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x20000 + 0x10 * i));
  }
  return NULL;
}

// The window's thread is numbered after its process.
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  M().Enter("GetWindowThreadProcessId", {Pointer(hWnd)}, false);
  uintptr_t value = reinterpret_cast<uintptr_t>(hWnd);
  sim::Window *window = value < 0x20000 ? nullptr : M().WindowAt((value - 0x20000) / 0x10);
  if (!window || !M().IsPresent(*window)) {
    if (lpdwProcessId) *lpdwProcessId = 0;
    Fail(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (window->processId == 0) NotModelled("GetWindowThreadProcessId of a window without its process");
  if (lpdwProcessId) *lpdwProcessId = window->processId;
  return window->processId + 1;
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                  UINT uTimeout, PDWORD_PTR lpdwResult) {
  if (M().Enter("SendMessageTimeoutA", {Pointer(hWnd), Hex(Msg), Number(wParam), Number(lParam),
                                        Hex(fuFlags), Number(uTimeout)}))
    return 0;
  if (fuFlags & ~static_cast<UINT>(SMTO_BLOCK | SMTO_ABORTIFHUNG))
    NotModelled("SendMessageTimeoutA flags " + Hex(fuFlags));
  uintptr_t value = reinterpret_cast<uintptr_t>(hWnd);
  size_t index = (value - 0x20000) / 0x10;
  sim::Window *found = value < 0x20000 ? nullptr : M().WindowAt(index);
  if (!found) {
    M().Defect("SendMessageTimeoutA to a window that does not exist");
    return Fail(ERROR_INVALID_HANDLE);
  }
  sim::Window &window = *found;
  // Its process ended since it was found: the window is gone with it.
  if (!M().IsPresent(window)) return Fail(ERROR_INVALID_HANDLE);
  // A window already not responding: the message is not even delivered.
  if ((fuFlags & SMTO_ABORTIFHUNG) && window.hung) return Fail(ERROR_TIMEOUT);
  window.received.push_back(Msg);
  if (window.handlingMs > uTimeout) {
    // The sender gives up at its limit; the handler is still busy, and a
    // thread busy for 5 s or more counts as not responding from then on.
    M().Advance(uTimeout);
    if (uTimeout >= 5000) window.hung = true;
    return Fail(ERROR_TIMEOUT);
  }
  M().Advance(window.handlingMs);
  // The handler may change the machine (a resident that exits): copy it first.
  auto handler = window.handler;
  LRESULT result = handler ? handler(Msg, wParam, lParam) : 0;
  if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
  return 1;
}

// ---------------------------------------------------------------- ADVAPI32

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  if (M().Enter("RegOpenKeyExA", {Pointer(hKey), Text(lpSubKey), Number(ulOptions), Hex(samDesired)}))
    return ERROR_ACCESS_DENIED;
  if (hKey != HKEY_LOCAL_MACHINE) NotModelled("a registry root other than HKEY_LOCAL_MACHINE");
  std::string path = M().RedirectedKey(Text(lpSubKey));
  sim::RegKey *key = M().FindKey(path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  if (key->refused && (samDesired & ~static_cast<REGSAM>(0x20019)) != 0) return ERROR_ACCESS_DENIED;
  Machine::HandleObject object{Kind::Key};
  object.path = sim::Fold(path);
  object.access = samDesired;
  *phkResult = reinterpret_cast<HKEY>(M().NewHandle(object));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (M().Enter("RegQueryValueExA",
                {Pointer(hKey), Text(lpValueName), lpcbData ? Number(*lpcbData) : "NULL"}))
    return ERROR_ACCESS_DENIED;
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  Machine::HandleObject *object = M().Lookup(reinterpret_cast<HANDLE>(hKey), Kind::Key);
  if (!object) return ERROR_INVALID_HANDLE;
  auto value = M().GetValue(object->path, Text(lpValueName));
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = value->type;
  DWORD size = static_cast<DWORD>(value->bytes.size());
  if (lpData) {
    if (!lpcbData) return ERROR_INVALID_PARAMETER;
    if (size > *lpcbData) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, value->bytes.data(), size);
  }
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE *lpData, DWORD cbData) {
  std::string bytes(reinterpret_cast<const char *>(lpData), cbData);
  if (M().Enter("RegSetValueExA", {Pointer(hKey), Text(lpValueName), Number(Reserved),
                                   Number(dwType), bytes}))
    return ERROR_ACCESS_DENIED;
  Machine::HandleObject *object = M().Lookup(reinterpret_cast<HANDLE>(hKey), Kind::Key);
  if (!object) return ERROR_INVALID_HANDLE;
  if (!(object->access & 0x0002)) return ERROR_ACCESS_DENIED;  // KEY_SET_VALUE
  M().SetValue(object->path, Text(lpValueName), dwType, bytes);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  bool failed = M().Enter("RegCloseKey", {Pointer(hKey)});
  bool released = M().Release(reinterpret_cast<HANDLE>(hKey), Kind::Key);
  return released && !failed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
