// Managed files: their paths in the system directory, case folding, presence
// and the version gate between the staged and the installed executable.
#ifndef HALUNUPD_FILES_FILES_H
#define HALUNUPD_FILES_FILES_H

#include "../base/state.h"

// File names joined to the system directory; each supplies its backslash.
extern const CHAR INSTALLED_EXE_NAME[];  // "\halunexe.exe"
extern const CHAR STAGED_EXE_NAME[];     // "\halunexe.ex$"
extern const CHAR INSTALLED_LIB_NAME[];  // "\halundll.dll"
extern const CHAR STAGED_LIB_NAME[];     // "\halundll.dl$"
// Base name of the resident executable, as a process's main module reports it.
extern const CHAR RESIDENT_BASE_NAME[];  // "halunexe.exe"

typedef SHORT VersionVerdict;

// Copies `source` into `destination` (at most capacity - 1 bytes and a zero
// byte), turning A to Z into a to z and copying every other byte unchanged.
void FoldPathCase(LPCSTR source, LPSTR destination, int capacity);

// Reads the system directory into g_run.paths and builds the managed paths.
// FALSE when the directory cannot be read whole or is too long for the paths.
BOOL PrepareManagedPaths(void);

// Deletes each staged copy whose bit is clear in `keep`.
void DeleteStagedCopies(PendingSet keep);

// The managed paths as the step that performs delayed moves at the restart
// must name them. That step runs natively: on 64-bit Windows, where the tool
// runs under WOW64 and its system directory is redirected to the one
// GetSystemWow64DirectoryA reports, the paths are built in `wow64Paths` in
// that directory, folded as the managed paths are, and returned. Elsewhere,
// or when IsWow64Process or GetSystemWow64DirectoryA is missing or fails,
// the managed paths themselves (&g_run.paths) are returned. NULL when the
// WOW64 directory cannot be read whole or leaves no room for the names.
const ManagedPaths *RestartTimePaths(ManagedPaths *wow64Paths);

// What a directory search for the exact path tells; the search is closed.
enum FilePresence {
  PRESENCE_ABSENT,  // the search reports that no such file exists
  PRESENCE_FOUND,   // found
  PRESENCE_UNKNOWN  // the search failed otherwise: the file may be there
};
FilePresence FindFilePresence(LPCSTR path);

// TRUE when a directory search finds the exact path; the search is closed.
BOOL IsFilePresent(LPCSTR path);

// -1: the installed version is below the minimum or a version is unreadable;
// 0: both version texts are identical; 1: they differ.
VersionVerdict CheckVersions(LPCSTR stagedPath, LPCSTR installedPath);

// Reads the FileVersion text of the file at `path` into `text` (TEXT_CAPACITY
// bytes). FALSE when it cannot be read or does not fit whole.
BOOL ReadFileVersion(LPCSTR path, LPSTR text);

// CheckVersions, and whether the installed file's own version could not be
// read (set only then).
VersionVerdict CheckVersionsEx(LPCSTR stagedPath, LPCSTR installedPath, BOOL *installedUnreadable);

// How an installed file stands to its staged copy, byte by byte.
enum FileMatch {
  MATCH_SAME,       // the same bytes
  MATCH_TORN,       // a copy of the staged file cut short: no longer than it,
                    // its bytes up to some point, and only zero bytes after
  MATCH_DIFFERENT,  // any other bytes
  MATCH_UNKNOWN     // either cannot be opened or read
};
FileMatch CompareWithStaged(LPCSTR installedPath, LPCSTR stagedPath);

#endif
