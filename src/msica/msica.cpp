// halunmsi.dll: the custom actions of a Windows Installer package that ships
// halunupd.exe, built from the tool's own code. A deferred action may ask the
// installer only for its CustomActionData (and ProductCode and UserSID),
// three of its modes, the language, and to format and log messages: these
// actions ask it for nothing else and read everything else from the machine,
// as the tool does. Each action prepares the tool's run state for this
// machine first. It carries no C runtime.
#include "msica.h"

#include "../base/text.h"
#include "../files/files.h"
#include "../notice/notice.h"
#include "../replace/replace.h"

// The DLL's own module, whose string table holds the tool's texts: in a DLL,
// LoadStringA(NULL, ...) reads the table of the process that loaded it.
static HINSTANCE s_module;

// The FileVersion texts the downgrade check read, for its log line.
static CHAR s_stagedVersion[TEXT_CAPACITY];
static CHAR s_installedVersion[TEXT_CAPACITY];

// Prepares the run state for this machine as the tool does at its start:
// the platform, the system directory and the managed paths. FALSE when the
// paths cannot be built.
static BOOL PrepareRun(void) {
  ResetRunState();
  g_run.textModule = s_module;
  ClassifyPlatform();
  return PrepareManagedPaths();
}

// Writes one line to the installer's log: `format` with [1] the number and
// [2] and [3] the texts.
static void LogLine(MSIHANDLE install, LPCSTR format, INT number, LPCSTR text, LPCSTR other) {
  MSIHANDLE record = MsiCreateRecord(3);
  if (record == 0) return;
  MsiRecordSetStringA(record, 0, format);
  MsiRecordSetInteger(record, 1, number);
  MsiRecordSetStringA(record, 2, text);
  MsiRecordSetStringA(record, 3, other);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

// TRUE when the FileVersion texts of both executables can be read and the
// staged one sorts before the installed one, byte by byte, as the tool
// compares texts.
static BOOL IsDowngrade(void) {
  return ReadFileVersion(g_run.paths.stagedExe, s_stagedVersion) &&
         ReadFileVersion(g_run.paths.installedExe, s_installedVersion) &&
         CompareBytes(s_stagedVersion, s_installedVersion) < 0;
}

// How many managed files `files` names.
static INT CountOf(PendingSet files) {
  return ((files & PENDING_LIBRARY) != 0) + ((files & PENDING_EXECUTABLE) != 0);
}

// Deletes each staged copy that no restart-time instruction names (never one
// that is named) and fails the installation.
static UINT Withdraw(void) {
  DeleteStagedCopies(StagedCopiesNamedAtRestart());
  return INSTALL_FAILURE;
}

// Runs the tool at `path` hidden, from the system directory, and waits for
// it. FALSE, with the error in *exitCode, when it cannot be started.
static BOOL RunTool(LPCSTR path, DWORD *exitCode) {
  CHAR command[COMMAND_CAPACITY];
  // `path` is shorter than PATH_CAPACITY: with its quotes it fits.
  CopyText(command, COMMAND_CAPACITY, "\"");
  AppendText(command, COMMAND_CAPACITY, path);
  AppendText(command, COMMAND_CAPACITY, "\"");
  STARTUPINFOA startup;
  PROCESS_INFORMATION started;
  ZeroBytes(&startup, sizeof(startup));
  ZeroBytes(&started, sizeof(started));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;  // its console window
  // The product the tool starts inherits this directory: one that stays.
  LPCSTR directory = g_run.paths.systemDir[0] != 0 ? g_run.paths.systemDir : NULL;
  if (!CreateProcessA(path, command, NULL, NULL, FALSE, 0, NULL, directory, &startup, &started)) {
    *exitCode = GetLastError();
    return FALSE;
  }
  CloseHandle(started.hThread);
  if (WaitForSingleObject(started.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(started.hProcess, exitCode))
    *exitCode = (DWORD)-2;  // no status to be had: not one the tool ends with
  CloseHandle(started.hProcess);
  return TRUE;
}

// A copy of the resident runs: in toolhelp's process list where KERNEL32 has
// it, else by its stub window in this session.
static BOOL IsResidentRunning(void) {
  if (!BindToolhelp()) return FindWindowA(STUB_WINDOW_CLASS, NULL) != NULL;
  DWORD copies = CountBySnapshot();
  UnbindProcessApi();
  return copies != 0;
}

extern "C" {

BOOL WINAPI HalunmsiDllMain(HINSTANCE module, DWORD, LPVOID) {
  s_module = module;
  return TRUE;
}

// Tells the running copies the caller can see to close and waits for them,
// as the tool does, when `closing`; logs `closed` with their number, or
// `kept`.
static UINT CloseCopies(MSIHANDLE install, BOOL closing, LPCSTR closed, LPCSTR kept) {
  DWORD notified = 0;
  if (closing) {
    notified = NotifyByWindows();
    WaitForNotifiedCopies();
  }
  LogLine(install, closing ? closed : kept, (INT)notified, "", "");
  return ERROR_SUCCESS;
}

UINT WINAPI CloseHalunexe(MSIHANDLE install) {
  const ManagedPaths *paths = &g_run.paths;
  BOOL replacing = PrepareRun() && IsFilePresent(paths->installedExe) &&
                   CheckVersions(paths->stagedExe, paths->installedExe) == 1 && !IsDowngrade();
  return CloseCopies(install, replacing,
                     "halunexe.exe is replaced now: [1] running copies were told to close",
                     "halunexe.exe is not replaced now: no running copy was told to close");
}

UINT WINAPI CloseHalunexeForRemoval(MSIHANDLE install) {
  return CloseCopies(install, PrepareRun(),
                     "halunexe.exe is removed: [1] running copies were told to close",
                     "halunexe.exe is not removed: the system directory is too long");
}

UINT WINAPI RunHalunupd(MSIHANDLE install) {
  CHAR path[PATH_CAPACITY];
  DWORD size = PATH_CAPACITY;
  path[0] = 0;
  BOOL given = MsiGetPropertyA(install, "CustomActionData", path, &size) == ERROR_SUCCESS &&
               path[0] != 0;
  PrepareRun();
  if (!given) {
    LogLine(install,
            "halunupd.exe was not started: CustomActionData must be its path, shorter than [1]"
            " characters; it reads '[2]'",
            PATH_CAPACITY, path, "");
    return Withdraw();
  }
  if (IsDowngrade()) {
    LogLine(install,
            "halunupd.exe was not started: the staged halunexe.exe has version [2], older than"
            " the installed [3]",
            0, s_stagedVersion, s_installedVersion);
    return Withdraw();
  }
  DWORD exitCode = 0;
  if (!RunTool(path, &exitCode)) {
    LogLine(install, "halunupd.exe could not be started: error [1] for [2]", (INT)exitCode, path,
            "");
    return Withdraw();
  }
  // The tool may have run in this process (on the host) with a run state of
  // its own.
  PrepareRun();
  const StatusRow *row = VerdictOn(exitCode);
  LogLine(install, "halunupd.exe ended with status [1]: [2]", (INT)exitCode, row->meaning, "");
  return row->verdict == VERDICT_FAILED ? Withdraw() : ERROR_SUCCESS;
}

UINT WINAPI StartHalunexe(MSIHANDLE install) {
  LPCSTR outcome = "was not started: it is not installed";
  if (PrepareRun() && IsFilePresent(g_run.paths.installedExe)) {
    if (StagedCopiesNamedAtRestart() != 0)
      outcome = "was not started: it is replaced at the next restart";
    else if (IsResidentRunning())
      outcome = "was not started: a copy of it runs already";
    else
      outcome = LaunchResident() ? "was started" : "could not be started";
  }
  LogLine(install, "halunexe.exe [2]", 0, outcome, "");
  return ERROR_SUCCESS;
}

UINT WINAPI RequestHalunupdRestart(MSIHANDLE install) {
  if (PrepareRun() && StagedCopiesNamedAtRestart() != 0) {
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    LogLine(install, "a restart-time replacement names the staged copies: the restart is asked for",
            0, "", "");
  }
  return ERROR_SUCCESS;
}

UINT WINAPI RemoveHalunupdStaged(MSIHANDLE install) {
  PendingSet kept = 0;
  if (PrepareRun()) {
    kept = StagedCopiesNamedAtRestart();
    DeleteStagedCopies(kept);
  }
  LogLine(install, "staged copies removed; [1] kept, named by a restart-time replacement",
          CountOf(kept), "", "");
  return ERROR_SUCCESS;
}

UINT WINAPI RemoveHalunexe(MSIHANDLE install) {
  if (!PrepareRun()) {
    LogLine(install, "halunexe.exe and halundll.dll are not removed: the system directory is too long",
            0, "", "");
    return ERROR_SUCCESS;
  }
  // A restart-time replacement of an earlier run finds no staged copy to put
  // in place once they are gone.
  DeleteStagedCopies(0);
  PendingSet left = DeleteInstalledPair();
  PendingSet scheduled = ScheduleDeletionOnRestart(left);
  PendingSet kept = (PendingSet)(left & ~scheduled);
  LogLine(install,
          "halunexe.exe and halundll.dll removed: [1] of them deleted at the next restart, [2]"
          " left in place",
          CountOf(scheduled),
          kept == 0 ? "none" : kept == PENDING_LIBRARY ? "halundll.dll"
                             : kept == PENDING_EXECUTABLE ? "halunexe.exe" : "both",
          "");
  return ERROR_SUCCESS;
}

UINT WINAPI RequestRemovalRestart(MSIHANDLE install) {
  const ManagedPaths *paths = &g_run.paths;
  if (PrepareRun() && SchedulesAtRestart(g_run.platformCode) &&
      (IsFilePresent(paths->installedExe) || IsFilePresent(paths->installedLib))) {
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    LogLine(install, "files of the removed pair are deleted at the next restart: the restart is"
            " asked for", 0, "", "");
  }
  return ERROR_SUCCESS;
}
}
