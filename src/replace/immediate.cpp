#include "replace.h"

#include "../base/text.h"
#include "../files/files.h"

// Copies a staged file over its installed name. TRUE when the copy is in
// place, or when there surely is no staged copy to lose.
static BOOL CopyStaged(LPCSTR staged, LPCSTR installed) {
  if (CopyFileA(staged, installed, FALSE)) return TRUE;
  return FindFilePresence(staged) == PRESENCE_ABSENT;
}

PendingSet InstallFresh(void) {
  const ManagedPaths *paths = &g_run.paths;
  PendingSet notInPlace = 0;
  if (!CopyStaged(paths->stagedExe, paths->installedExe)) notInPlace |= PENDING_EXECUTABLE;
  if (!CopyStaged(paths->stagedLib, paths->installedLib)) notInPlace |= PENDING_LIBRARY;
  return notInPlace;
}

// Deletes `installed`, at most `attempts` times, each after a pause of
// `pauseMs` when that is not 0. TRUE once it is deleted.
static BOOL DeleteInstalled(LPCSTR installed, int attempts, DWORD pauseMs) {
  BOOL deleted = FALSE;
  for (int attempt = 0; attempt < attempts && !deleted; ++attempt) {
    if (pauseMs != 0) Sleep(pauseMs);
    deleted = DeleteFileA(installed);
  }
  return deleted;
}

// Puts the staged copy in place of the installed file: the installed copy,
// when there is one, is deleted first (at most `attempts` times, each after a
// pause of `pauseMs` when that is not 0), then the staged copy is copied over
// it. TRUE when the staged copy is in place, or when the search reports no
// staged copy: the file is then not part of the replacement and its installed
// copy, if any, stays. FALSE when the staged copy could not be put in place or
// it cannot be told whether there is one. Without an installed copy the staged
// one is copied into place, so that the completion step never deletes the only
// copy left.
static BOOL ReplaceOne(LPCSTR installed, LPCSTR staged, int attempts, DWORD pauseMs) {
  FilePresence stagedCopy = FindFilePresence(staged);
  if (stagedCopy != PRESENCE_FOUND) return stagedCopy == PRESENCE_ABSENT;
  if (IsFilePresent(installed) && !DeleteInstalled(installed, attempts, pauseMs)) return FALSE;
  // The installed copy is gone now: the copy is tried a second time before the
  // file is left to the restart, which some platforms do not offer.
  return CopyFileA(staged, installed, FALSE) || CopyFileA(staged, installed, FALSE);
}

PendingSet ReplaceNotInPlace(PendingSet inPlace) {
  const ManagedPaths *paths = &g_run.paths;
  PendingSet notInPlace = 0;
  if (!(inPlace & PENDING_EXECUTABLE) &&
      !ReplaceOne(paths->installedExe, paths->stagedExe, EXECUTABLE_DELETE_ATTEMPTS, 0))
    notInPlace |= PENDING_EXECUTABLE;
  // The resident may still hold the library for a moment after the notice.
  if (!(inPlace & PENDING_LIBRARY) &&
      !ReplaceOne(paths->installedLib, paths->stagedLib, LIBRARY_DELETE_ATTEMPTS,
                  LIBRARY_DELETE_PAUSE_MS))
    notInPlace |= PENDING_LIBRARY;
  return notInPlace;
}

// TRUE when `installed` is gone: deleted now, or surely not there.
static BOOL RemoveInstalled(LPCSTR installed, int attempts, DWORD pauseMs) {
  FilePresence presence = FindFilePresence(installed);
  if (presence == PRESENCE_ABSENT) return TRUE;
  return DeleteInstalled(installed, attempts, pauseMs) ||
         FindFilePresence(installed) == PRESENCE_ABSENT;
}

PendingSet DeleteInstalledPair(void) {
  const ManagedPaths *paths = &g_run.paths;
  PendingSet left = 0;
  if (!RemoveInstalled(paths->installedExe, EXECUTABLE_DELETE_ATTEMPTS, 0))
    left |= PENDING_EXECUTABLE;
  if (!RemoveInstalled(paths->installedLib, LIBRARY_DELETE_ATTEMPTS, LIBRARY_DELETE_PAUSE_MS))
    left |= PENDING_LIBRARY;
  return left;
}

PendingSet ReplaceTornLibrary(void) {
  const ManagedPaths *paths = &g_run.paths;
  if (!IsFilePresent(paths->installedLib) ||
      CompareWithStaged(paths->installedLib, paths->stagedLib) != MATCH_TORN)
    return 0;
  return ReplaceOne(paths->installedLib, paths->stagedLib, LIBRARY_DELETE_ATTEMPTS,
                    LIBRARY_DELETE_PAUSE_MS)
             ? 0
             : PENDING_LIBRARY;
}

PendingSet InstallMissingLibrary(void) {
  const ManagedPaths *paths = &g_run.paths;
  FilePresence installed = FindFilePresence(paths->installedLib);
  if (installed == PRESENCE_FOUND) return 0;
  // No deletion attempt: an installed library that turns up is never touched.
  if (installed == PRESENCE_ABSENT && ReplaceOne(paths->installedLib, paths->stagedLib, 0, 0))
    return 0;
  return PENDING_LIBRARY;
}

BOOL LaunchResident(void) {
  // A per-user program started as LocalSystem would run unseen, outside any
  // user's session (session 0 from Vista on), holding its library: it is
  // started from the user's context instead (see the Windows Installer
  // example), never from here.
  if (RunsAsLocalSystem()) return FALSE;
  CHAR argument[TEXT_CAPACITY];
  CHAR commandLine[COMMAND_LINE_CAPACITY];
  LoadText(TEXT_RESTART_ARGUMENT, argument, TEXT_CAPACITY);
  if (!CopyText(commandLine, COMMAND_LINE_CAPACITY, g_run.paths.installedExe) ||
      !AppendText(commandLine, COMMAND_LINE_CAPACITY, argument))
    return FALSE;

  STARTUPINFOA startup;
  PROCESS_INFORMATION started;
  ZeroBytes(&startup, sizeof(startup));
  ZeroBytes(&started, sizeof(started));
  startup.cb = sizeof(startup);
  // The path is also passed as the application name: unquoted in the command
  // line, a directory with a space could otherwise start another program.
  if (!CreateProcessA(g_run.paths.installedExe, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS,
                      NULL, NULL, &startup, &started))
    return FALSE;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return TRUE;
}
