// Replacement: copying the staged files into place now, scheduling them for
// the next restart where that is impossible, and restarting the executable.
#ifndef HALUNUPD_REPLACE_REPLACE_H
#define HALUNUPD_REPLACE_REPLACE_H

#include "../base/state.h"

// The resident may hold its library a moment after the notice: deleting it is
// tried this often, each time after a pause. Its executable gets one attempt.
enum { LIBRARY_DELETE_ATTEMPTS = 10, LIBRARY_DELETE_PAUSE_MS = 1000, EXECUTABLE_DELETE_ATTEMPTS = 1 };
// A "%s" of a format text, which wsprintfA replaces.
enum { FORMAT_FIELD_LENGTH = 2 };
// The fixed characters of a rename line ("\halundll.dll = \halundll.dl$" and
// CR LF), around the two directories.
enum { RENAME_LINE_FIXED_LENGTH = 31 };
// One formatted rename line: its fixed characters, the longest system
// directory twice and a zero byte.
enum { RENAME_LINE_CAPACITY = RENAME_LINE_FIXED_LENGTH + 2 * SYSTEM_DIR_MAX_LENGTH + 1 };
enum {
  // The rename text built for one run: the section line and two full lines.
  RENAME_TEXT_CAPACITY = 2048,
  // The largest existing rename file merged with the new lines.
  WININIT_FILE_CAPACITY = 32768,
  // Bytes a merge adds besides the rename text: a line break before it and
  // the closing zero byte (3), rounded up.
  MERGE_EXTRA_BYTES = 8,
  // The longest existing rename file read: the merge then always fits.
  RENAME_FILE_READ_LIMIT = WININIT_FILE_CAPACITY - RENAME_TEXT_CAPACITY - MERGE_EXTRA_BYTES
};
// The largest list of delayed moves read: Windows keeps every program's
// there, and a list this long is not one this tool could make sense of.
enum { PENDING_MOVES_READ_LIMIT = 1024 * 1024 };
// The restart command line: the installed path and the restart argument.
enum { COMMAND_LINE_CAPACITY = PATH_CAPACITY + TEXT_CAPACITY };

// The operations below only put files in place, or schedule them, and report
// what they did; the run procedure alone decides from their reports what is
// scheduled, the status, whether the executable is started and what the
// completion step keeps.

// Copies both staged files over the installed names. Returns the files not in
// place: those whose staged copy could not be copied (a file with no staged
// copy is not part of the install).
PendingSet InstallFresh(void);

// Same version: when no library is installed, copies the staged library into
// place. Returns PENDING_LIBRARY when the library is missing and its staged
// copy could not be put in place (or it cannot be told whether one is
// installed), so that the staged copy is kept.
PendingSet InstallMissingLibrary(void);

// Replaces the installed files not in `inPlace` (which already hold their
// staged bytes) by the staged ones now, the executable first. Returns the
// files not in place: those whose staged copy could not be put in place. A
// file with no staged copy is not part of the replacement: its installed
// copy stays and it is not reported.
PendingSet ReplaceNotInPlace(PendingSet inPlace);

// Same version: an installed library that is a copy of the staged one cut
// short (by a run stopped while it copied) is replaced like the library of a
// replacement. Returns PENDING_LIBRARY when such a copy is still not whole.
PendingSet ReplaceTornLibrary(void);

// Starts the installed executable with the restart argument, detached,
// unless the process runs as LocalSystem. FALSE when it was not started.
BOOL LaunchResident(void);

// For a removal of the product: deletes the installed pair, the executable
// once (its running copies were told to close and waited for) and the library
// with the attempts and pauses of a replacement, as its resident may hold it a
// moment after the notice. Returns the installed files still there (or that
// cannot be told to be gone).
PendingSet DeleteInstalledPair(void);

// Schedules the installed files of `files` for deletion at the next restart,
// after every restart-time instruction already written: a "NUL=" line in the
// first [Rename] section of wininit.ini (Windows 98/ME) or a delayed deletion
// (NT 5+); other platforms get nothing. Returns the files scheduled.
PendingSet ScheduleDeletionOnRestart(PendingSet files);

// Schedules the files in `pending` whose staged copy is present for
// replacement at the next restart, in the way the running platform supports;
// other platforms get nothing. With nothing to schedule nothing is written.
// Returns the files it scheduled.
PendingSet ScheduleOnRestart(PendingSet pending);

// The managed files whose staged copy a restart-time replacement of this
// tool names and that is still there: a line in the first [Rename] section of
// wininit.ini (Windows 98/ME) or a delayed move (NT 5+). Both such files when
// the instructions are there but cannot be read. Such a staged copy must stay
// until the restart.
PendingSet StagedCopiesNamedAtRestart(void);
#endif
