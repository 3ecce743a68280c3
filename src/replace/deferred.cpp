#include "replace.h"

#include "../base/text.h"
#include "../files/files.h"

// The files of `pending` whose staged copy is there: only those can be put in
// place at the restart, and a rename naming a missing source could cost the
// installed copy.
static PendingSet WithStagedCopy(PendingSet pending) {
  if ((pending & PENDING_LIBRARY) && !IsFilePresent(g_run.paths.stagedLib))
    pending &= (PendingSet)~PENDING_LIBRARY;
  if ((pending & PENDING_EXECUTABLE) && !IsFilePresent(g_run.paths.stagedExe))
    pending &= (PendingSet)~PENDING_EXECUTABLE;
  return pending;
}

// Registers delayed moves of the staged files over the installed ones (NT 5+),
// named in the directory where the files really are (under WOW64 not the one
// the tool is shown); nothing when that directory does not fit. Returns the
// files whose move was registered.
static PendingSet QueueMoveOnReboot(PendingSet pending) {
  if ((pending & (PENDING_LIBRARY | PENDING_EXECUTABLE)) == 0) return 0;
  // The moves are performed natively at the restart: they name the directory
  // the files really are in, which under WOW64 is not the one the tool sees.
  ManagedPaths wow64Paths;
  const ManagedPaths *paths = RestartTimePaths(&wow64Paths);
  if (paths == NULL) return 0;
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
  PendingSet queued = 0;
  if ((pending & PENDING_LIBRARY) && MoveFileExA(paths->stagedLib, paths->installedLib, flags))
    queued |= PENDING_LIBRARY;
  if ((pending & PENDING_EXECUTABLE) && MoveFileExA(paths->stagedExe, paths->installedExe, flags))
    queued |= PENDING_EXECUTABLE;
  return queued;
}

// Formats the rename line `number` with `directory` in both places and
// appends it to `text`. FALSE when the line would not fit whole.
static BOOL AppendRenameLine(UINT number, LPCSTR directory, LPSTR text) {
  CHAR format[TEXT_CAPACITY];
  CHAR line[RENAME_LINE_CAPACITY];
  LoadText(number, format, TEXT_LOAD_LIMIT);
  // Each of the two "%s" gives way to the directory.
  int length = lstrlenA(format) + 2 * (lstrlenA(directory) - FORMAT_FIELD_LENGTH);
  if (length >= RENAME_LINE_CAPACITY) return FALSE;
  wsprintfA(line, format, directory, directory);
  return AppendText(text, RENAME_TEXT_CAPACITY, line);
}

// The system directory as the rename lines name it. The renames are carried
// out before Windows starts, where only short (8.3) names exist and a line
// naming a long directory is skipped: its short form, read whole into a
// zeroed buffer with one byte to spare and no longer than a system directory
// may be; the directory as reported when the short form cannot be had. An 8.3
// directory is its own short form.
static void RenameDirectory(LPSTR directory) {
  ZeroBytes(directory, PATH_CAPACITY);
  DWORD length = GetShortPathNameA(g_run.paths.systemDir, directory, PATH_CAPACITY - 1);
  if (length != 0 && length <= SYSTEM_DIR_MAX_LENGTH && (DWORD)lstrlenA(directory) == length)
    return;
  CopyText(directory, PATH_CAPACITY, g_run.paths.systemDir);
}

// Builds the path of the rename file in the Windows directory. FALSE when the
// directory cannot be read whole or leaves no room for the file name.
static BOOL BuildRenameFilePath(LPSTR path) {
  CHAR windowsDir[PATH_CAPACITY];
  CHAR format[TEXT_CAPACITY];
  // Zeroed whole and read with one byte to spare, so that the text ends
  // inside the buffer even when the call leaves it unterminated.
  ZeroBytes(windowsDir, sizeof(windowsDir));
  UINT length = GetWindowsDirectoryA(windowsDir, TEXT_LOAD_LIMIT);
  if (length == 0 || length >= TEXT_LOAD_LIMIT || (UINT)lstrlenA(windowsDir) != length)
    return FALSE;
  LoadText(TEXT_RENAME_FILE, format, TEXT_LOAD_LIMIT);
  if ((int)length + lstrlenA(format) - FORMAT_FIELD_LENGTH >= PATH_CAPACITY) return FALSE;
  wsprintfA(path, format, windowsDir);
  return TRUE;
}

// The rename text for `pending`: the section line and a line per file. FALSE
// when a line would not fit whole.
static BOOL BuildRenameText(PendingSet pending, LPSTR text) {
  CHAR directory[PATH_CAPACITY];
  RenameDirectory(directory);
  LoadText(TEXT_RENAME_SECTION, text, TEXT_LOAD_LIMIT);
  if ((pending & PENDING_LIBRARY) && !AppendRenameLine(TEXT_RENAME_LIBRARY, directory, text))
    return FALSE;
  return !(pending & PENDING_EXECUTABLE) ||
         AppendRenameLine(TEXT_RENAME_EXECUTABLE, directory, text);
}

// Out of line: inlined into its one caller, each access to the rename
// buffer would carry a relocation of its own.
static OUT_OF_LINE DWORD MergeRenameText(LPSTR file, DWORD length, DWORD capacity, LPCSTR renames);

// The rename file as read and as rewritten: static, as a frame this large
// would need the stack probe that only a C runtime provides.
static CHAR s_renameFile[WININIT_FILE_CAPACITY];

// Reads the open rename file whole into s_renameFile. FALSE when the read
// fails or the file is longer than RENAME_FILE_READ_LIMIT.
static BOOL ReadRenameFile(HANDLE file, DWORD *length) {
  *length = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, s_renameFile + *length, RENAME_FILE_READ_LIMIT + 1 - *length, &got, NULL))
      return FALSE;
    if (got == 0) return TRUE;
    *length += got;
    if (*length > RENAME_FILE_READ_LIMIT) return FALSE;
  }
}

// Merges `text` (a section line and lines ended by CR LF) into the rename
// file. TRUE when the file was written.
static BOOL WriteRenameText(LPCSTR text) {
  CHAR path[PATH_CAPACITY];
  if (!BuildRenameFilePath(path)) return FALSE;

  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;

  // The existing content is kept: read it whole, merge, and write it back.
  // A file too large to hold with the new lines is left as it is.
  BOOL written = FALSE;
  DWORD length = 0;
  if (ReadRenameFile(file, &length)) {
    DWORD merged = MergeRenameText(s_renameFile, length, WININIT_FILE_CAPACITY, text);
    DWORD count = 0;
    if (merged != 0 && SetFilePointer(file, 0, NULL, FILE_BEGIN) == 0 &&
        WriteFile(file, s_renameFile, merged, &count, NULL) && count == merged)
      written = SetEndOfFile(file);
  }
  CloseHandle(file);
  return written;
}

// Adds the rename lines for `pending` to the "[Rename]" section of the Windows
// directory's wininit.ini (Windows 98/ME). The lines name the system directory
// in its short (8.3) form, which is all the restart-time renaming can read;
// as reported when no short form can be had. TRUE when the file was written.
static BOOL WriteWininitRenames(PendingSet pending) {
  CHAR text[RENAME_TEXT_CAPACITY];
  return BuildRenameText(pending, text) && WriteRenameText(text);
}

PendingSet ScheduleOnRestart(PendingSet pending) {
  if (!SchedulesAtRestart(g_run.platformCode)) return 0;
  pending = WithStagedCopy((PendingSet)(pending & (PENDING_LIBRARY | PENDING_EXECUTABLE)));
  // Nothing to schedule: no rename file is created or changed.
  if (pending == 0) return 0;
  if (g_run.platformCode == PLATFORM_WIN98ME) return WriteWininitRenames(pending) ? pending : 0;
  return QueueMoveOnReboot(pending);
}

// What a deletion line names as its target.
static const CHAR DELETION_TARGET[] = "NUL=";
static const CHAR LINE_END[] = "\r\n";

// Appends the deletion line of the file `name` ("\halunexe.exe") in
// `directory` to `text`. FALSE when it would not fit whole.
static BOOL AppendDeletionLine(LPCSTR directory, LPCSTR name, LPSTR text) {
  CHAR line[RENAME_LINE_CAPACITY];
  return CopyText(line, RENAME_LINE_CAPACITY, DELETION_TARGET) &&
         AppendText(line, RENAME_LINE_CAPACITY, directory) &&
         AppendText(line, RENAME_LINE_CAPACITY, name) &&
         AppendText(line, RENAME_LINE_CAPACITY, LINE_END) &&
         AppendText(text, RENAME_TEXT_CAPACITY, line);
}

// Deletes the installed files of `files` at the restart, after the renames
// already in the section: the lines are added at its end.
static BOOL WriteWininitDeletions(PendingSet files) {
  CHAR directory[PATH_CAPACITY];
  CHAR text[RENAME_TEXT_CAPACITY];
  RenameDirectory(directory);
  LoadText(TEXT_RENAME_SECTION, text, TEXT_LOAD_LIMIT);
  if ((files & PENDING_EXECUTABLE) && !AppendDeletionLine(directory, INSTALLED_EXE_NAME, text))
    return FALSE;
  if ((files & PENDING_LIBRARY) && !AppendDeletionLine(directory, INSTALLED_LIB_NAME, text))
    return FALSE;
  return WriteRenameText(text);
}

PendingSet ScheduleDeletionOnRestart(PendingSet files) {
  files &= PENDING_LIBRARY | PENDING_EXECUTABLE;
  if (files == 0 || !SchedulesAtRestart(g_run.platformCode)) return 0;
  if (g_run.platformCode == PLATFORM_WIN98ME) return WriteWininitDeletions(files) ? files : 0;
  // A delayed deletion: a move without a target, queued after those there.
  ManagedPaths wow64Paths;
  const ManagedPaths *paths = RestartTimePaths(&wow64Paths);
  if (paths == NULL) return 0;
  PendingSet queued = 0;
  if ((files & PENDING_EXECUTABLE) &&
      MoveFileExA(paths->installedExe, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
    queued |= PENDING_EXECUTABLE;
  if ((files & PENDING_LIBRARY) &&
      MoveFileExA(paths->installedLib, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
    queued |= PENDING_LIBRARY;
  return queued;
}

static BOOL IsBlank(CHAR c) { return c == ' ' || c == '\t'; }

// End of the line that starts at `at`: the offset of its '\n', or `length`.
static DWORD LineEnd(LPCSTR file, DWORD at, DWORD length) {
  while (at < length && file[at] != '\n') ++at;
  return at;
}

// Offset of the line after the one that starts at `at`.
static DWORD NextLine(LPCSTR file, DWORD at, DWORD length) {
  DWORD end = LineEnd(file, at, length);
  return end < length ? end + 1 : length;
}

// The line's content without leading blanks, and its length without trailing
// blanks and carriage returns.
static LPCSTR TrimLine(LPCSTR line, DWORD length, DWORD *trimmed) {
  while (length > 0 && IsBlank(*line)) {
    ++line;
    --length;
  }
  while (length > 0 && (IsBlank(line[length - 1]) || line[length - 1] == '\r')) --length;
  *trimmed = length;
  return line;
}

static BOOL SameTextNoCase(LPCSTR a, DWORD aLength, LPCSTR b, DWORD bLength) {
  if (aLength != bLength) return FALSE;
  for (DWORD i = 0; i < aLength; ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return FALSE;
  return TRUE;
}

static BOOL IsSectionLine(LPCSTR file, DWORD at, DWORD length) {
  DWORD trimmed = 0;
  LPCSTR line = TrimLine(file + at, LineEnd(file, at, length) - at, &trimmed);
  return trimmed > 0 && line[0] == '[';
}

static BOOL IsRenameSectionLine(LPCSTR file, DWORD at, DWORD length) {
  static const CHAR RENAME_SECTION[] = "[rename]";
  DWORD trimmed = 0;
  LPCSTR line = TrimLine(file + at, LineEnd(file, at, length) - at, &trimmed);
  return SameTextNoCase(line, trimmed, RENAME_SECTION, sizeof(RENAME_SECTION) - 1);
}

// TRUE when a line between `from` and `to` reads `wanted` (ignoring case and
// surrounding blanks).
static BOOL HasLine(LPCSTR file, DWORD from, DWORD to, LPCSTR wanted, DWORD wantedLength) {
  for (DWORD at = from; at < to; at = NextLine(file, at, to)) {
    DWORD trimmed = 0;
    LPCSTR line = TrimLine(file + at, LineEnd(file, at, to) - at, &trimmed);
    if (SameTextNoCase(line, trimmed, wanted, wantedLength)) return TRUE;
  }
  return FALSE;
}

// Inserts `count` bytes of `bytes` at `at` into the `*length` bytes of `file`.
static BOOL InsertBytes(LPSTR file, DWORD *length, DWORD capacity, DWORD at, LPCSTR bytes,
                        DWORD count) {
  if (*length + count >= capacity) return FALSE;
  for (DWORD i = *length; i > at; --i) file[i - 1 + count] = file[i - 1];
  for (DWORD i = 0; i < count; ++i) file[at + i] = bytes[i];
  *length += count;
  return TRUE;
}

// Finds the body of the file's first [Rename] section: the offsets of its
// first line and of the line after its last. FALSE when there is none.
static BOOL FindRenameSection(LPCSTR file, DWORD length, DWORD *bodyStart, DWORD *bodyEnd) {
  DWORD section = 0;
  while (section < length && !IsRenameSectionLine(file, section, length))
    section = NextLine(file, section, length);
  if (section >= length) return FALSE;
  *bodyStart = NextLine(file, section, length);
  *bodyEnd = *bodyStart;
  while (*bodyEnd < length && !IsSectionLine(file, *bodyEnd, length))
    *bodyEnd = NextLine(file, *bodyEnd, length);
  return TRUE;
}

// Merges `renames` (a "[Rename]" section line followed by rename lines, each
// ended by CR LF) into the `length` bytes (below `capacity`) of an existing
// rename file held in `file` of `capacity` bytes: lines not yet in the file's
// first [Rename] section are added at its end, or the whole section is
// appended. Zero bytes of the old content are dropped and the result ends
// with one zero byte. Returns the new length, zero byte included, or 0 if it
// does not fit.
static DWORD MergeRenameText(LPSTR file, DWORD length, DWORD capacity, LPCSTR renames) {
  static const CHAR LINE_BREAK[] = "\r\n";
  const DWORD lineBreakLength = sizeof(LINE_BREAK) - 1;
  // A zero byte inside a text file cuts it short for its readers: drop them.
  DWORD kept = 0;
  for (DWORD i = 0; i < length; ++i)
    if (file[i] != 0) file[kept++] = file[i];
  length = kept;

  DWORD bodyStart = 0;
  DWORD bodyEnd = 0;
  if (!FindRenameSection(file, length, &bodyStart, &bodyEnd)) {
    // No section yet: append the whole text on a line of its own.
    if (length > 0 && file[length - 1] != '\n' &&
        !InsertBytes(file, &length, capacity, length, LINE_BREAK, lineBreakLength))
      return 0;
    if (!InsertBytes(file, &length, capacity, length, renames, (DWORD)lstrlenA(renames)))
      return 0;
  } else {
    // Add the missing lines at the end of the existing section.
    DWORD renamesLength = (DWORD)lstrlenA(renames);
    for (DWORD at = NextLine(renames, 0, renamesLength); at < renamesLength;) {
      DWORD next = NextLine(renames, at, renamesLength);
      DWORD trimmed = 0;
      LPCSTR line = TrimLine(renames + at, LineEnd(renames, at, renamesLength) - at, &trimmed);
      if (trimmed > 0 && !HasLine(file, bodyStart, bodyEnd, line, trimmed)) {
        if (bodyEnd > 0 && file[bodyEnd - 1] != '\n') {
          if (!InsertBytes(file, &length, capacity, bodyEnd, LINE_BREAK, lineBreakLength))
            return 0;
          bodyEnd += lineBreakLength;
        }
        if (!InsertBytes(file, &length, capacity, bodyEnd, renames + at, next - at)) return 0;
        bodyEnd += next - at;
      }
      at = next;
    }
  }
  // Below `capacity` as given, and every insertion keeps it there.
  file[length] = 0;
  return length + 1;
}

// TRUE when the rename section between `bodyStart` and `bodyEnd` of
// s_renameFile holds rename line `number` as this tool writes it, with
// `directory` in both places.
static BOOL HasRenameLine(DWORD bodyStart, DWORD bodyEnd, UINT number, LPCSTR directory) {
  CHAR text[RENAME_TEXT_CAPACITY];
  text[0] = 0;
  if (!AppendRenameLine(number, directory, text)) return FALSE;
  DWORD trimmed = 0;
  LPCSTR line = TrimLine(text, LineEnd(text, 0, (DWORD)lstrlenA(text)), &trimmed);
  return HasLine(s_renameFile, bodyStart, bodyEnd, line, trimmed);
}

// The managed files that the first [Rename] section of wininit.ini moves
// from their staged copies, in either form of the directory this tool writes.
// Both when the file is there but cannot be read whole.
static PendingSet NamedInRenameFile(void) {
  CHAR path[PATH_CAPACITY];
  if (!BuildRenameFilePath(path)) return 0;  // none could have been written
  if (FindFilePresence(path) == PRESENCE_ABSENT) return 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return PENDING_BOTH;
  DWORD length = 0;
  BOOL read = ReadRenameFile(file, &length);
  CloseHandle(file);
  if (!read) return PENDING_BOTH;

  DWORD bodyStart = 0;
  DWORD bodyEnd = 0;
  if (!FindRenameSection(s_renameFile, length, &bodyStart, &bodyEnd)) return 0;
  CHAR directory[PATH_CAPACITY];
  RenameDirectory(directory);
  PendingSet named = 0;
  if (HasRenameLine(bodyStart, bodyEnd, TEXT_RENAME_LIBRARY, directory) ||
      HasRenameLine(bodyStart, bodyEnd, TEXT_RENAME_LIBRARY, g_run.paths.systemDir))
    named |= PENDING_LIBRARY;
  if (HasRenameLine(bodyStart, bodyEnd, TEXT_RENAME_EXECUTABLE, directory) ||
      HasRenameLine(bodyStart, bodyEnd, TEXT_RENAME_EXECUTABLE, g_run.paths.systemDir))
    named |= PENDING_EXECUTABLE;
  return named;
}

// Where Windows keeps the delayed moves until the restart performs them.
static const CHAR SESSION_MANAGER_KEY[] = "System\\CurrentControlSet\\Control\\Session Manager";
static const CHAR PENDING_MOVES_VALUE[] = "PendingFileRenameOperations";

// TRUE when `entry`, a source or target as Windows keeps it ("\??\" before the
// path, and "!" before that for a target that may be replaced), is `path`.
static BOOL IsMovePath(LPCSTR entry, LPCSTR path) {
  static const CHAR NT_PREFIX[] = "\\??\\";
  if (entry[0] == '!') ++entry;
  DWORD prefix = 0;
  while (prefix < sizeof(NT_PREFIX) - 1 && entry[prefix] == NT_PREFIX[prefix]) ++prefix;
  if (prefix == sizeof(NT_PREFIX) - 1) entry += prefix;
  return SameTextNoCase(entry, (DWORD)lstrlenA(entry), path, (DWORD)lstrlenA(path));
}

// The managed files that a pair of `moves` (`length` bytes of source and
// target texts, with zero bytes to spare after them) moves from the staged
// copy onto the installed name.
static PendingSet MovesOfManagedFiles(LPCSTR moves, DWORD length) {
  ManagedPaths wow64Paths;
  const ManagedPaths *paths = RestartTimePaths(&wow64Paths);
  if (paths == NULL) return 0;  // no move could have been queued
  PendingSet named = 0;
  DWORD at = 0;
  while (at < length && moves[at] != 0) {
    LPCSTR source = moves + at;
    at += (DWORD)lstrlenA(source) + 1;
    LPCSTR target = moves + at;
    at += (DWORD)lstrlenA(target) + 1;
    if (IsMovePath(source, paths->stagedLib) && IsMovePath(target, paths->installedLib))
      named |= PENDING_LIBRARY;
    if (IsMovePath(source, paths->stagedExe) && IsMovePath(target, paths->installedExe))
      named |= PENDING_EXECUTABLE;
  }
  return named;
}

// The managed files that a delayed move moves from their staged copies. Both
// when the moves cannot be read.
static PendingSet NamedInDelayedMoves(void) {
  HKEY key = NULL;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE, &key);
  if (opened != ERROR_SUCCESS) return opened == ERROR_FILE_NOT_FOUND ? 0 : PENDING_BOTH;

  PendingSet named = PENDING_BOTH;
  DWORD type = 0;
  DWORD size = 0;
  LONG queried = RegQueryValueExA(key, PENDING_MOVES_VALUE, NULL, &type, NULL, &size);
  if (queried == ERROR_FILE_NOT_FOUND) {
    named = 0;
  } else if (queried == ERROR_SUCCESS && size <= PENDING_MOVES_READ_LIMIT) {
    // Zeroed, with two bytes to spare, so that every text ends inside it.
    LPSTR moves = (LPSTR)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2);
    DWORD got = size;
    if (moves != NULL &&
        RegQueryValueExA(key, PENDING_MOVES_VALUE, NULL, &type, (LPBYTE)moves, &got) ==
            ERROR_SUCCESS &&
        got <= size)
      named = moves[0] == 0 ? 0 : MovesOfManagedFiles(moves, got);
    if (moves != NULL) HeapFree(GetProcessHeap(), 0, moves);
  }
  RegCloseKey(key);
  return named;
}

PendingSet StagedCopiesNamedAtRestart(void) {
  PendingSet named = 0;
  if (g_run.platformCode == PLATFORM_WIN98ME)
    named = NamedInRenameFile();
  else if (g_run.platformCode == PLATFORM_NT5)
    named = NamedInDelayedMoves();
  return WithStagedCopy(named);
}
