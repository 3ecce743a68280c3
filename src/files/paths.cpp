#include "files.h"

#include "../run/run.h"
#include "../run/text.h"

const CHAR INSTALLED_EXE_NAME[] = "\\halunexe.exe";
const CHAR STAGED_EXE_NAME[] = "\\halunexe.ex$";
const CHAR INSTALLED_LIB_NAME[] = "\\halundll.dll";
const CHAR STAGED_LIB_NAME[] = "\\halundll.dl$";
const CHAR RESIDENT_BASE_NAME[] = "halunexe.exe";

void FoldPathCase(LPCSTR source, LPSTR destination, int capacity) {
  int i = 0;
  for (; i < capacity - 1 && source[i] != 0; ++i) {
    CHAR c = source[i];
    destination[i] = (c >= 'A' && c <= 'Z') ? (CHAR)(c - 'A' + 'a') : c;
  }
  destination[i] = 0;
}

// Folds the system directory joined with `name` into `field`; a path that
// would not fit whole is never built.
static BOOL BuildOnePath(LPCSTR name, LPSTR field) {
  CHAR joined[PATH_CAPACITY];
  if (!CopyText(joined, PATH_CAPACITY, g_run.paths.systemDir) ||
      !AppendText(joined, PATH_CAPACITY, name)) {
    field[0] = 0;
    return FALSE;
  }
  FoldPathCase(joined, field, PATH_CAPACITY);
  return TRUE;
}

BOOL BuildManagedPaths(void) {
  ManagedPaths *paths = &g_run.paths;
  if (BuildOnePath(INSTALLED_EXE_NAME, paths->installedExe) &&
      BuildOnePath(STAGED_EXE_NAME, paths->stagedExe) &&
      BuildOnePath(INSTALLED_LIB_NAME, paths->installedLib) &&
      BuildOnePath(STAGED_LIB_NAME, paths->stagedLib))
    return TRUE;
  paths->installedExe[0] = paths->stagedExe[0] = 0;
  paths->installedLib[0] = paths->stagedLib[0] = 0;
  return FALSE;
}

BOOL IsFilePresent(LPCSTR path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return FALSE;
  FindClose(search);
  return TRUE;
}

HMODULE LoadBoundLibrary(LPCSTR name) {
  enum { LOADED_LIBRARY_MINIMUM = 32 };
  CHAR path[PATH_CAPACITY];
  if (name[0] == '\\') {
    if (!CopyText(path, PATH_CAPACITY, g_run.paths.systemDir) ||
        !AppendText(path, PATH_CAPACITY, name))
      return NULL;
    name = path;
  }
  HMODULE library = LoadLibraryA(name);
  return (ULONG_PTR)library < LOADED_LIBRARY_MINIMUM ? NULL : library;
}

AnyProc BindProc(HMODULE library, LPCSTR name) {
  return (AnyProc)(void *)GetProcAddress(library, name);
}
