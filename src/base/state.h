// The ground every module stands on: buffer sizes, the platform and status
// codes, the set of pending files and the one process-wide run state.
#ifndef HALUNUPD_BASE_STATE_H
#define HALUNUPD_BASE_STATE_H

#include "../platform/win32.h"

// A path the tool builds, with its zero byte: below MAX_PATH, as every ANSI
// file function of Windows 95 on accepts it. Loaded texts share the size.
enum { PATH_CAPACITY = 256, TEXT_CAPACITY = 256 };
// What a call may write into a field of PATH_CAPACITY or TEXT_CAPACITY: one
// byte to spare, so that a zeroed field still ends inside itself when the
// call leaves its text unterminated.
enum { TEXT_LOAD_LIMIT = PATH_CAPACITY - 1 };
// Each managed file name joined to the system directory, backslash included
// ("\halunexe.exe"), has this many characters.
enum { MANAGED_NAME_LENGTH = 13 };
// The longest system directory that leaves room for a managed file name.
enum { SYSTEM_DIR_MAX_LENGTH = PATH_CAPACITY - 1 - MANAGED_NAME_LENGTH };
// A process name as the process functions report it (MAX_PATH).
enum { PROCESS_NAME_CAPACITY = 260 };
// Identifiers read from one process list (4 KiB); a copy past them is not seen.
enum { PROCESS_ID_CAPACITY = 1024 };
// Running copies that were sent the notice and are waited for.
enum { NOTICED_COPY_CAPACITY = PROCESS_ID_CAPACITY };

typedef SHORT PlatformCode;
enum {
  PLATFORM_UNKNOWN = 0,
  PLATFORM_WIN32S = 321,
  PLATFORM_WIN95 = 322,
  PLATFORM_NT4 = 324,
  PLATFORM_WIN98ME = 325,
  PLATFORM_NT5 = 326
};

// Sets g_run.platformCode from the version the running Windows reports.
void ClassifyPlatform(void);
// TRUE on the platforms where a replacement can be left to the next restart:
// wininit.ini on Windows 98/ME, delayed file moves on Windows 2000 and later.
BOOL SchedulesAtRestart(PlatformCode platform);

// The exit statuses, as the rows of statuses.inc name them.
typedef SHORT RunStatus;
enum {
#define HALUNUPD_STATUS(name, code, treat, starts, done, meaning) name = code,
#include "statuses.inc"
#undef HALUNUPD_STATUS
};
// The traits of the statuses' rows, each a switch over the table that the
// compiler folds into a test of a constant where it is called.
// TRUE for a value that is one of the exit statuses.
inline BOOL IsRunStatus(INT value) {
  switch (value) {
#define HALUNUPD_STATUS(name, code, treat, starts, done, meaning) case name:
#include "statuses.inc"
#undef HALUNUPD_STATUS
    return TRUE;
  }
  return FALSE;
}
// What the row of a status says of its course, as flags: STATUS_STARTS, the
// resident is started (its `starts`); STATUS_DONE, the installed pair is
// reported done (its `done`).
enum { STATUS_STARTS = 1, STATUS_DONE = 2 };
inline UINT StatusFlags(RunStatus status) {
  switch (status) {
#define HALUNUPD_STATUS(name, code, treat, starts, done, meaning) \
  case name:                                                      \
    return (starts ? STATUS_STARTS : 0) | (done ? STATUS_DONE : 0);
#include "statuses.inc"
#undef HALUNUPD_STATUS
  }
  return 0;
}
// TRUE when the status reports the installed pair done.
inline BOOL ReportsPairDone(RunStatus status) { return (StatusFlags(status) & STATUS_DONE) != 0; }
// TRUE when the course of the status starts the resident.
inline BOOL StartsResident(RunStatus status) { return (StatusFlags(status) & STATUS_STARTS) != 0; }

typedef WORD PendingSet;
enum { PENDING_LIBRARY = 1, PENDING_EXECUTABLE = 2, PENDING_BOTH = PENDING_LIBRARY | PENDING_EXECUTABLE };

struct ManagedPaths {
  CHAR systemDir[PATH_CAPACITY];  // as the platform reports it
  CHAR installedExe[PATH_CAPACITY];  // the rest folded to lower case
  CHAR stagedExe[PATH_CAPACITY];
  CHAR installedLib[PATH_CAPACITY];
  CHAR stagedLib[PATH_CAPACITY];
};

// The process functions of the running platform: toolhelp from KERNEL32 on
// Windows 98/ME, psapi on NT 5 and later. `library` is NULL until every one
// of them is bound.
struct ProcessApi {
  HMODULE library;
  CreateToolhelp32SnapshotProc CreateToolhelp32Snapshot;
  Process32FirstProc Process32First;
  Process32NextProc Process32Next;
  EnumProcessesProc EnumProcesses;
  EnumProcessModulesProc EnumProcessModules;
  GetModuleBaseNameAProc GetModuleBaseNameA;
};

// Static rather than on the stack, like every large buffer of the tool: a
// frame above one page would need the stack probe that only a C runtime
// provides.
struct RunState {
  // The module whose string table LoadText reads: NULL, the program's own,
  // in halunupd.exe; in halunmsi.dll the DLL's own module, as NULL there
  // names the table of the installer's process that loaded it.
  HINSTANCE textModule;
  PlatformCode platformCode;
  RunStatus runStatus;
  ManagedPaths paths;
  ProcessApi processApi;
  DWORD processIds[PROCESS_ID_CAPACITY];
  // Handles (SYNCHRONIZE) of the copies that were sent the notice, until the
  // wait for them to end is over.
  HANDLE noticedCopies[NOTICED_COPY_CAPACITY];
  DWORD noticedCopyCount;
};

// The one run state of the process.
extern RunState g_run;

// TRUE when the process runs as LocalSystem (S-1-5-18), as a service does
// and, on Windows NT, a Windows Installer deferred action that is not
// impersonated. FALSE when it cannot be told: on Windows 95, 98 and ME, which
// have no accounts, or without ADVAPI32's token functions.
BOOL RunsAsLocalSystem(void);

// Clears the run state, as at process start.
void ResetRunState(void);

#endif
