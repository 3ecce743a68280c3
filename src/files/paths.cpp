#include "files.h"

#include "../base/binding.h"
#include "../base/text.h"

const CHAR INSTALLED_EXE_NAME[] = "\\halunexe.exe";
const CHAR STAGED_EXE_NAME[] = "\\halunexe.ex$";
const CHAR INSTALLED_LIB_NAME[] = "\\halundll.dll";
const CHAR STAGED_LIB_NAME[] = "\\halundll.dl$";
const CHAR RESIDENT_BASE_NAME[] = "halunexe.exe";
static_assert(sizeof(INSTALLED_EXE_NAME) - 1 == MANAGED_NAME_LENGTH &&
                  sizeof(STAGED_EXE_NAME) - 1 == MANAGED_NAME_LENGTH &&
                  sizeof(INSTALLED_LIB_NAME) - 1 == MANAGED_NAME_LENGTH &&
                  sizeof(STAGED_LIB_NAME) - 1 == MANAGED_NAME_LENGTH,
              "every managed name fits the room a system directory leaves");

void FoldPathCase(LPCSTR source, LPSTR destination, int capacity) {
  int i = 0;
  for (; i < capacity - 1 && source[i] != 0; ++i) {
    destination[i] = LowerAscii(source[i]);
  }
  destination[i] = 0;
}

// Folds `directory` joined with `name` into `field`; a path that would not
// fit whole is never built.
static BOOL BuildOnePath(LPCSTR directory, LPCSTR name, LPSTR field) {
  CHAR joined[PATH_CAPACITY];
  if (!CopyText(joined, PATH_CAPACITY, directory) || !AppendText(joined, PATH_CAPACITY, name)) {
    field[0] = 0;
    return FALSE;
  }
  FoldPathCase(joined, field, PATH_CAPACITY);
  return TRUE;
}

// Builds the four paths of `paths` from its systemDir; all four are left
// empty when one does not fit.
static BOOL BuildPathsIn(ManagedPaths *paths) {
  if (BuildOnePath(paths->systemDir, INSTALLED_EXE_NAME, paths->installedExe) &&
      BuildOnePath(paths->systemDir, STAGED_EXE_NAME, paths->stagedExe) &&
      BuildOnePath(paths->systemDir, INSTALLED_LIB_NAME, paths->installedLib) &&
      BuildOnePath(paths->systemDir, STAGED_LIB_NAME, paths->stagedLib))
    return TRUE;
  paths->installedExe[0] = paths->stagedExe[0] = 0;
  paths->installedLib[0] = paths->stagedLib[0] = 0;
  return FALSE;
}

BOOL PrepareManagedPaths(void) {
  UINT length = GetSystemDirectoryA(g_run.paths.systemDir, PATH_CAPACITY);
  if (length == 0 || length > SYSTEM_DIR_MAX_LENGTH ||
      (UINT)lstrlenA(g_run.paths.systemDir) != length) {
    g_run.paths.systemDir[0] = 0;
    return FALSE;
  }
  return BuildPathsIn(&g_run.paths);
}

void DeleteStagedCopies(PendingSet keep) {
  if ((keep & PENDING_LIBRARY) == 0) DeleteFileA(g_run.paths.stagedLib);
  if ((keep & PENDING_EXECUTABLE) == 0) DeleteFileA(g_run.paths.stagedExe);
}

const ManagedPaths *RestartTimePaths(ManagedPaths *wow64Paths) {
  // A missing function or a failed call means the tool is not under WOW64.
  AnyProc procs[WOW64_FUNCTION_COUNT];
  HMODULE kernel = BindFunctions(BIND_WOW64, procs);
  if (kernel == NULL) return &g_run.paths;
  IsWow64ProcessProc isWow64 = (IsWow64ProcessProc)procs[WOW64_IS_WOW64_PROCESS];
  GetSystemWow64DirectoryAProc getDirectory =
      (GetSystemWow64DirectoryAProc)procs[WOW64_SYSTEM_DIRECTORY];
  BOOL wow64 = FALSE;
  UINT length = 0;
  if (isWow64(GetCurrentProcess(), &wow64) && wow64) {
    // Zeroed whole and read with one byte to spare, so that the text ends
    // inside the buffer even when the call leaves it unterminated.
    ZeroBytes(wow64Paths->systemDir, PATH_CAPACITY);
    length = getDirectory(wow64Paths->systemDir, TEXT_LOAD_LIMIT);
  }
  FreeLibrary(kernel);
  // So does a failed directory call.
  if (length == 0) return &g_run.paths;
  // A directory that does not fit is never cut short: a shortened path could
  // name another file. Nothing is to be moved then.
  if (length > SYSTEM_DIR_MAX_LENGTH || (UINT)lstrlenA(wow64Paths->systemDir) != length ||
      !BuildPathsIn(wow64Paths))
    return NULL;
  return wow64Paths;
}

FilePresence FindFilePresence(LPCSTR path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    return PRESENCE_FOUND;
  }
  // Windows 95/98 may report a search without a match as "no more files".
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
      error == ERROR_NO_MORE_FILES)
    return PRESENCE_ABSENT;
  return PRESENCE_UNKNOWN;
}

BOOL IsFilePresent(LPCSTR path) { return FindFilePresence(path) == PRESENCE_FOUND; }
