#include "files.h"

#include "../base/binding.h"
#include "../base/text.h"

static const CHAR FILE_VERSION_QUERY[] = "\\StringFileInfo\\040904b0\\FileVersion";

// The version functions, bound from the system directory's own version.dll
// so that a library planted beside the tool is never loaded.
struct VersionApi {
  HMODULE library;
  GetFileVersionInfoSizeAProc GetFileVersionInfoSizeA;
  GetFileVersionInfoAProc GetFileVersionInfoA;
  VerQueryValueAProc VerQueryValueA;
};

static BOOL BindVersionApi(VersionApi *api) {
  AnyProc procs[VERSION_FUNCTION_COUNT];
  api->library = BindFunctions(BIND_VERSION, procs);
  if (api->library == NULL) return FALSE;
  api->GetFileVersionInfoSizeA = (GetFileVersionInfoSizeAProc)procs[VERSION_GET_SIZE];
  api->GetFileVersionInfoA = (GetFileVersionInfoAProc)procs[VERSION_GET_INFO];
  api->VerQueryValueA = (VerQueryValueAProc)procs[VERSION_QUERY];
  return TRUE;
}

// Reads the file's version-information block into a block of its own and
// points `text` at its "FileVersion" text inside it. The block, when one was
// allocated, is left in `block` for the caller to release. FALSE when the
// version cannot be read: no resource, a failed read or query, a text the
// query did not set, or one that does not end inside the block. An empty
// text is a text like any other.
static BOOL ReadVersionText(const VersionApi *api, LPCSTR path, LPVOID *block, LPCSTR *text) {
  DWORD ignored = 0;
  DWORD size = api->GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return FALSE;
  *block = HeapAlloc(GetProcessHeap(), 0, size);
  if (*block == NULL) return FALSE;
  if (!api->GetFileVersionInfoA(path, 0, size, *block)) return FALSE;
  LPVOID value = NULL;
  UINT length = 0;
  if (!api->VerQueryValueA(*block, FILE_VERSION_QUERY, &value, &length) || value == NULL)
    return FALSE;
  const BYTE *start = (const BYTE *)*block;
  const BYTE *end = start + size;
  const BYTE *cursor = (const BYTE *)value;
  if (cursor < start || cursor >= end) return FALSE;
  while (cursor < end && *cursor != 0) ++cursor;
  if (cursor == end) return FALSE;
  *text = (LPCSTR)value;
  return TRUE;
}

// The installed text up to its first ASCII letter, at most TEXT_LOAD_LIMIT
// characters.
static void CopyVersionPrefix(LPCSTR version, LPSTR prefix) {
  int i = 0;
  for (; i < TEXT_LOAD_LIMIT && version[i] != 0; ++i) {
    CHAR c = version[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) break;
    prefix[i] = c;
  }
  prefix[i] = 0;
}

static VersionVerdict CompareVersionTexts(const VersionApi *api, LPCSTR stagedPath,
                                          LPCSTR installedPath, LPVOID *installedBlock,
                                          LPVOID *stagedBlock, BOOL *installedUnreadable) {
  LPCSTR installedText = NULL;
  if (!ReadVersionText(api, installedPath, installedBlock, &installedText)) {
    *installedUnreadable = TRUE;
    return -1;
  }

  CHAR minimum[TEXT_CAPACITY];
  CHAR prefix[TEXT_CAPACITY];
  LoadText(TEXT_MINIMUM_VERSION, minimum, TEXT_LOAD_LIMIT);
  CopyVersionPrefix(installedText, prefix);
  if (CompareBytes(minimum, prefix) > 0) return -1;

  LPCSTR stagedText = NULL;
  if (!ReadVersionText(api, stagedPath, stagedBlock, &stagedText)) return -1;
  return CompareBytes(stagedText, installedText) == 0 ? 0 : 1;
}

BOOL ReadFileVersion(LPCSTR path, LPSTR text) {
  VersionApi api;
  text[0] = 0;
  if (!BindVersionApi(&api)) return FALSE;
  LPVOID block = NULL;
  LPCSTR found = NULL;
  // A text too long is never cut short: a shortened one could compare as another.
  BOOL read = ReadVersionText(&api, path, &block, &found) && CopyText(text, TEXT_CAPACITY, found);
  if (block != NULL) HeapFree(GetProcessHeap(), 0, block);
  FreeLibrary(api.library);
  return read;
}

VersionVerdict CheckVersions(LPCSTR stagedPath, LPCSTR installedPath) {
  BOOL installedUnreadable = FALSE;
  return CheckVersionsEx(stagedPath, installedPath, &installedUnreadable);
}

VersionVerdict CheckVersionsEx(LPCSTR stagedPath, LPCSTR installedPath, BOOL *installedUnreadable) {
  VersionApi api;
  if (!BindVersionApi(&api)) return -1;
  LPVOID installedBlock = NULL;
  LPVOID stagedBlock = NULL;
  VersionVerdict verdict = CompareVersionTexts(&api, stagedPath, installedPath, &installedBlock,
                                               &stagedBlock, installedUnreadable);
  if (stagedBlock != NULL) HeapFree(GetProcessHeap(), 0, stagedBlock);
  if (installedBlock != NULL) HeapFree(GetProcessHeap(), 0, installedBlock);
  FreeLibrary(api.library);
  return verdict;
}
