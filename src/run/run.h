// Run control: the process-wide run state, the status and platform codes, and
// the run procedure that chooses between the courses of a run.
#ifndef HALUNUPD_RUN_RUN_H
#define HALUNUPD_RUN_RUN_H

#include "../platform/win32.h"

// Every managed path, directory and loaded text lives in a field of this size.
enum { PATH_CAPACITY = 256, TEXT_CAPACITY = 256, TEXT_LOAD_LIMIT = 255 };
// A process name as the process functions report it.
enum { PROCESS_NAME_CAPACITY = 260 };
// Identifiers examined per process list.
enum { PROCESS_ID_CAPACITY = 1024 };
// Running copies that were sent the notice and are waited for.
enum { NOTICED_COPY_CAPACITY = PROCESS_ID_CAPACITY };
// The longest system directory that leaves room for a 13-character file name.
enum { SYSTEM_DIR_MAX_LENGTH = PATH_CAPACITY - 1 - 13 };

typedef SHORT PlatformCode;
enum {
  PLATFORM_UNKNOWN = 0,
  PLATFORM_WIN32S = 321,
  PLATFORM_WIN95 = 322,
  PLATFORM_NT4 = 324,
  PLATFORM_WIN98ME = 325,
  PLATFORM_NT5 = 326
};

typedef SHORT RunStatus;
enum {
  RUN_SCAN_FAILED = -1,
  RUN_NOTHING_DONE = 0,
  RUN_FRESH_INSTALL = 1,
  RUN_SAME_VERSION = 2,
  RUN_REPLACED = 3,
  RUN_RESTART_NEEDED = 4
};

typedef WORD PendingSet;
enum { PENDING_LIBRARY = 1, PENDING_EXECUTABLE = 2, PENDING_ALL = 7 };

struct ManagedPaths {
  CHAR systemDir[PATH_CAPACITY];  // as the platform reports it
  CHAR installedExe[PATH_CAPACITY];  // the rest folded to lower case
  CHAR stagedExe[PATH_CAPACITY];
  CHAR installedLib[PATH_CAPACITY];
  CHAR stagedLib[PATH_CAPACITY];
};

struct ProcessApi {
  HMODULE toolhelpLibrary;
  HMODULE psapiLibrary;
  CreateToolhelp32SnapshotProc CreateToolhelp32Snapshot;
  Process32FirstProc Process32First;
  Process32NextProc Process32Next;
  Module32FirstProc Module32First;
  Module32NextProc Module32Next;
  EnumProcessesProc EnumProcesses;
  EnumProcessModulesProc EnumProcessModules;
  GetModuleBaseNameAProc GetModuleBaseNameA;
  DWORD ready;
};

struct RunState {
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

// Clears the run state, as at process start.
void ResetRunState(void);

// Sets g_run.platformCode from the version the running Windows reports.
void ClassifyPlatform(void);

// Runs the tool once and returns the status that becomes the exit code.
RunStatus RunUpgrade(void);

#endif
