#include "replace.h"

#include "../files/files.h"
#include "../run/text.h"

// Copies a staged file over its installed name. TRUE when the copy is in
// place, or when there is no staged copy to lose.
static BOOL CopyStaged(LPCSTR staged, LPCSTR installed) {
  if (CopyFileA(staged, installed, FALSE)) return TRUE;
  return !IsFilePresent(staged);
}

PendingSet InstallFresh(void) {
  const ManagedPaths *paths = &g_run.paths;
  PendingSet pending = 0;
  if (!CopyStaged(paths->stagedExe, paths->installedExe)) pending |= PENDING_EXECUTABLE;
  if (!CopyStaged(paths->stagedLib, paths->installedLib)) pending |= PENDING_LIBRARY;
  if (pending != 0) ScheduleOnRestart(pending);
  if ((pending & PENDING_EXECUTABLE) == 0) LaunchResident();
  return pending;
}

PendingSet ReplaceInPlace(void) {
  const ManagedPaths *paths = &g_run.paths;
  PendingSet pending = 0;

  // An installed file is removed only when its staged copy is there to take
  // its place; a copy that fails after the removal leaves the file pending, so
  // that its staged copy is kept and scheduled.
  if (IsFilePresent(paths->installedExe) && IsFilePresent(paths->stagedExe)) {
    if (!DeleteFileA(paths->installedExe) ||
        !CopyFileA(paths->stagedExe, paths->installedExe, FALSE))
      pending |= PENDING_EXECUTABLE;
  }

  if (IsFilePresent(paths->installedLib) && IsFilePresent(paths->stagedLib)) {
    // The resident may still hold the library for a moment after the notice.
    BOOL deleted = FALSE;
    for (int attempt = 0; attempt < LIBRARY_DELETE_ATTEMPTS && !deleted; ++attempt) {
      Sleep(LIBRARY_DELETE_PAUSE_MS);
      deleted = DeleteFileA(paths->installedLib);
    }
    if (!deleted || !CopyFileA(paths->stagedLib, paths->installedLib, FALSE))
      pending |= PENDING_LIBRARY;
  }

  if (pending != 0) ScheduleOnRestart(pending);
  return pending;
}

void LaunchResident(void) {
  CHAR argument[TEXT_CAPACITY];
  CHAR commandLine[COMMAND_LINE_CAPACITY];
  LoadText(TEXT_RESTART_ARGUMENT, argument, TEXT_CAPACITY);
  if (!CopyText(commandLine, COMMAND_LINE_CAPACITY, g_run.paths.installedExe) ||
      !AppendText(commandLine, COMMAND_LINE_CAPACITY, argument))
    return;

  STARTUPINFOA startup;
  PROCESS_INFORMATION started;
  ZeroBytes(&startup, sizeof(startup));
  ZeroBytes(&started, sizeof(started));
  startup.cb = sizeof(startup);
  // The path is also passed as the application name: unquoted in the command
  // line, a directory with a space could otherwise start another program.
  if (CreateProcessA(g_run.paths.installedExe, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS,
                     NULL, NULL, &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
}
