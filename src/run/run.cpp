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
    if (!g_run.processApi.EnumProcesses(g_run.processIds, sizeof(g_run.processIds), &bytes))
      return FALSE;
    DWORD count = bytes / sizeof(DWORD);
    if (count > PROCESS_ID_CAPACITY) count = PROCESS_ID_CAPACITY;
    for (DWORD i = 0; i < count; ++i) NotifyByProcessId(g_run.processIds[i]);
  } else if (g_run.platformCode == PLATFORM_WIN98ME) {
    // Without toolhelp the copies cannot be told; the files are tried anyway.
    if (BindToolhelp()) NotifyBySnapshot();
  }
  return TRUE;
}

// The end of a course: besides the staged copies it keeps, every staged copy
// that a restart-time replacement of an earlier run still names stays until
// the restart; and a run that would report the pair done while such a
// replacement is still to change it reports 4. Returns the copies to keep.
static PendingSet KeepNamedAtRestart(PendingSet keep, RunStatus *status) {
  BOOL reportsDone = ReportsPairDone(*status);
  if ((keep & PENDING_BOTH) == PENDING_BOTH && !reportsDone) return keep;
  PendingSet named = StagedCopiesNamedAtRestart();
  const ManagedPaths *paths = &g_run.paths;
  if (reportsDone &&
      (((named & PENDING_LIBRARY) &&
        CompareWithStaged(paths->installedLib, paths->stagedLib) != MATCH_SAME) ||
       ((named & PENDING_EXECUTABLE) &&
        CompareWithStaged(paths->installedExe, paths->stagedExe) != MATCH_SAME)))
    *status = RUN_RESTART_NEEDED;
  return keep | named;
}

// The end of a course that put the staged files in place now. Files not in
// place are scheduled for the restart and keep their staged copies, and the
// status becomes 4; with every file in place the executable is started.
// Returns the staged copies to keep.
static PendingSet AfterInstall(PendingSet notInPlace, RunStatus *status) {
  if (notInPlace != 0) {
    ScheduleOnRestart(notInPlace);
    *status = RUN_RESTART_NEEDED;
  } else {
    LaunchResident();
  }
  return notInPlace;
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

// Chooses the course of the run and follows it, setting the status it
// reports in `status`. Returns the staged copies to keep, which are those of
// the course; with `checked` set, the end of the course (KeepNamedAtRestart)
// still applies: it does not when the run ends before it names a managed
// file.
static PendingSet RunCourse(RunStatus *status, BOOL *checked) {
  *checked = FALSE;
  if (g_run.platformCode == PLATFORM_WIN98ME && IsStartMarked()) return PENDING_BOTH;

  // A directory that does not fit is never cut short: a shortened path could
  // name another file. No managed file is touched.
  if (!PrepareManagedPaths()) return PENDING_BOTH;
  *checked = TRUE;
  if (!IsFilePresent(g_run.paths.stagedExe)) return PENDING_BOTH;

  *status = RUN_FRESH_INSTALL;
  if (!IsFilePresent(g_run.paths.installedExe)) return AfterInstall(InstallFresh(), status);

  *status = RUN_SAME_VERSION;
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
    if (torn != 0) return AfterInstall(torn, status);
    return InstallMissingLibrary();
  }
  if (verdict < 0 && !unfinished) {
    ScheduleOnRestart(PENDING_BOTH);
    *status = RUN_RESTART_NEEDED;
    return PENDING_BOTH;
  }

  *status = RUN_REPLACED;
  if (!NotifyRunningCopies()) {
    *status = RUN_SCAN_FAILED;
    return PENDING_BOTH;
  }
  // Copies that answered the notice are given a moment to end before their
  // executable is deleted.
  WaitForNotifiedCopies();
  return AfterInstall(ReplaceNotInPlace(inPlace), status);
}

RunStatus RunUpgrade(void) {
  ResetRunState();
  ClassifyPlatform();
  RunStatus status = RUN_NOTHING_DONE;
  BOOL checked = FALSE;
  PendingSet keep = RunCourse(&status, &checked);
  if (checked) keep = KeepNamedAtRestart(keep, &status);
  DeleteStagedCopies(keep);
  MarkRunComplete();
  // The process library stays bound until the completion step is done.
  UnbindProcessApi();
  g_run.runStatus = status;
  return status;
}
