// Replacement: copying the staged files into place now, scheduling them for
// the next restart where that is impossible, and restarting the executable.
#ifndef HALUNUPD_REPLACE_REPLACE_H
#define HALUNUPD_REPLACE_REPLACE_H

#include "../base/state.h"

enum { LIBRARY_DELETE_ATTEMPTS = 10, LIBRARY_DELETE_PAUSE_MS = 1000 };
// The rename text built for one run: the section line and two full lines.
enum { RENAME_TEXT_CAPACITY = 2048 };
// One formatted rename line: 31 fixed characters and the directory twice.
enum { RENAME_LINE_CAPACITY = 31 + 2 * 242 + 1 };
// The largest existing rename file merged with the new lines.
enum { WININIT_FILE_CAPACITY = 32768 };
// The restart command line: the installed path and the restart argument.
enum { COMMAND_LINE_CAPACITY = 2 * 256 };

// The operations below only put files in place, or schedule them, and report
// what they did; the run procedure alone decides from their reports what is
// scheduled, the status, whether the executable is started and what the
// completion step keeps.

// Copies both staged files over the installed names. Returns the files not in
// place: those whose staged copy could not be copied (a file with no staged
// copy is not part of the install).
PendingSet InstallFresh(void);

// Replaces the installed files by the staged ones now. Returns the files not
// in place: those whose staged copy could not be put in place. A file with no
// staged copy is not part of the replacement: its installed copy stays and it
// is not reported.
PendingSet ReplaceInPlace(void);

// Same version: when no library is installed, copies the staged library into
// place. Returns PENDING_LIBRARY when the library is missing and its staged
// copy could not be put in place (or it cannot be told whether one is
// installed), so that the staged copy is kept.
PendingSet InstallMissingLibrary(void);

// Starts the installed executable with the restart argument, detached.
void LaunchResident(void);

// Schedules the files in `pending` whose staged copy is present for
// replacement at the next restart, in the way the running platform supports;
// other platforms get nothing. With nothing to schedule nothing is written.
// Returns the files it scheduled.
PendingSet ScheduleOnRestart(PendingSet pending);

// Adds the rename lines for `pending` to the "[Rename]" section of the Windows
// directory's wininit.ini (Windows 98/ME). The lines name the system directory
// in its short (8.3) form, which is all the restart-time renaming can read;
// as reported when no short form can be had. TRUE when the file was written.
BOOL WriteWininitRenames(PendingSet pending);

// Registers delayed moves of the staged files over the installed ones (NT 5+),
// named in the directory where the files really are (under WOW64 not the one
// the tool is shown); nothing when that directory does not fit. Returns the
// files whose move was registered.
PendingSet QueueMoveOnReboot(PendingSet pending);

// Merges `renames` (a "[Rename]" section line followed by rename lines, each
// ended by CR LF) into the `length` bytes of an existing rename file held in
// `file` of `capacity` bytes: lines not yet in the file's first [Rename]
// section are added at its end, or the whole section is appended. Trailing
// zero bytes of the old content are dropped and the result ends with one
// zero byte. Returns the new length, zero byte included, or 0 if it does not
// fit.
DWORD MergeRenameText(LPSTR file, DWORD length, DWORD capacity, LPCSTR renames);

#endif
