#include "run.h"

#include "../base/text.h"
#include "../files/files.h"
#include "../marker/marker.h"
#include "../notice/notice.h"
#include "../replace/replace.h"

// Sends the notice to every running copy of the resident executable. FALSE
// when the running copies could not be listed, so nothing may be replaced.
static BOOL NotifyRunningCopies(void) {
  if (g_run.platformCode == PLATFORM_NT5) {
    if (!BindPsapi()) return FALSE;
    DWORD bytes = 0;
    if (!g_run.processApi.EnumProcesses(g_run.processIds, sizeof(g_run.processIds), &bytes)) {
      UnbindProcessApi();
      return FALSE;
    }
    DWORD count = bytes / sizeof(DWORD);
    if (count > PROCESS_ID_CAPACITY) count = PROCESS_ID_CAPACITY;
    for (DWORD i = 0; i < count; ++i) NotifyByProcessId(g_run.processIds[i]);
  } else if (g_run.platformCode == PLATFORM_WIN98ME) {
    // Without toolhelp the copies cannot be told; the files are tried anyway.
    if (BindToolhelp()) NotifyBySnapshot();
  }
  return TRUE;
}

// Ends a course: besides the staged copies it keeps, every staged copy that a
// restart-time replacement of an earlier run still names stays until the
// restart; and a run that would report the pair done while such a
// replacement is still to change it reports 4. Then the completion step.
static void FinishCourse(PendingSet keep) {
  BOOL reportsDone = ReportsPairDone(g_run.runStatus);
  if ((keep & PENDING_BOTH) != PENDING_BOTH || reportsDone) {
    PendingSet named = StagedCopiesNamedAtRestart();
    keep |= named;
    const ManagedPaths *paths = &g_run.paths;
    if (reportsDone &&
        (((named & PENDING_LIBRARY) &&
          CompareWithStaged(paths->installedLib, paths->stagedLib) != MATCH_SAME) ||
         ((named & PENDING_EXECUTABLE) &&
          CompareWithStaged(paths->installedExe, paths->stagedExe) != MATCH_SAME)))
      g_run.runStatus = RUN_RESTART_NEEDED;
  }
  FinishRun(keep);
}

// Ends a course that put the staged files in place now. Files not in place
// are scheduled for the restart and keep their staged copies, and the status
// becomes 4; with every file in place the executable is started.
static void FinishInstall(PendingSet notInPlace) {
  if (notInPlace != 0) {
    ScheduleOnRestart(notInPlace);
    g_run.runStatus = RUN_RESTART_NEEDED;
  } else {
    LaunchResident();
  }
  FinishCourse(notInPlace);
}

// A replacement that a stopped run left unfinished: the installed executable
// is a whole or a cut-short copy of the staged one, and one of the pair does
// not hold its staged bytes yet. `inPlace` receives the files that do; the
// rest is to be finished as the replacement does it.
static BOOL FindUnfinishedReplacement(PendingSet *inPlace) {
  const ManagedPaths *paths = &g_run.paths;
  FileMatch executable = CompareWithStaged(paths->installedExe, paths->stagedExe);
  if (executable != MATCH_SAME && executable != MATCH_TORN) return FALSE;
  *inPlace = executable == MATCH_SAME ? PENDING_EXECUTABLE : 0;
  // A library with no staged copy is not part of the replacement.
  FilePresence stagedLibrary = FindFilePresence(paths->stagedLib);
  if (stagedLibrary == PRESENCE_ABSENT ||
      (stagedLibrary == PRESENCE_FOUND &&
       CompareWithStaged(paths->installedLib, paths->stagedLib) == MATCH_SAME))
    *inPlace |= PENDING_LIBRARY;
  return (*inPlace & PENDING_BOTH) != PENDING_BOTH;
}

RunStatus RunUpgrade(void) {
  ResetRunState();
  ClassifyPlatform();

  if (g_run.platformCode == PLATFORM_WIN98ME && IsStartMarked()) {
    FinishRun(PENDING_BOTH);
    return RUN_NOTHING_DONE;
  }

  // A directory that does not fit is never cut short: a shortened path could
  // name another file. No managed file is touched.
  if (!PrepareManagedPaths()) {
    FinishRun(PENDING_BOTH);
    return g_run.runStatus;
  }
  if (!IsFilePresent(g_run.paths.stagedExe)) {
    FinishCourse(PENDING_BOTH);
    return g_run.runStatus;
  }

  g_run.runStatus = RUN_FRESH_INSTALL;
  if (!IsFilePresent(g_run.paths.installedExe)) {
    FinishInstall(InstallFresh());
    return g_run.runStatus;
  }

  g_run.runStatus = RUN_SAME_VERSION;
  BOOL installedUnreadable = FALSE;
  VersionVerdict verdict =
      CheckVersionsEx(g_run.paths.stagedExe, g_run.paths.installedExe, &installedUnreadable);
  // A stopped replacement leaves the staged executable's version, or a copy
  // of it cut short that may have none: it is finished, not taken for the
  // same version or an unreadable one.
  PendingSet inPlace = 0;
  BOOL unfinished =
      (verdict == 0 || (verdict < 0 && installedUnreadable)) && FindUnfinishedReplacement(&inPlace);
  if (verdict == 0 && !unfinished) {
    // Nothing is replaced; a library copy cut short is put right, and a
    // missing library put in place (its staged copy kept when that fails;
    // the status stays 2).
    PendingSet torn = ReplaceTornLibrary();
    if (torn != 0) {
      FinishInstall(torn);
      return g_run.runStatus;
    }
    FinishCourse(InstallMissingLibrary());
    return g_run.runStatus;
  }
  if (verdict < 0 && !unfinished) {
    ScheduleOnRestart(PENDING_BOTH);
    FinishRun(PENDING_BOTH);
    return RUN_RESTART_NEEDED;
  }

  g_run.runStatus = RUN_REPLACED;
  if (!NotifyRunningCopies()) {
    FinishRun(PENDING_BOTH);
    return RUN_SCAN_FAILED;
  }
  // Copies that answered the notice are given a moment to end before their
  // executable is deleted.
  WaitForNotifiedCopies();
  FinishInstall(ReplaceNotInPlace(inPlace));
  UnbindProcessApi();
  return g_run.runStatus;
}
