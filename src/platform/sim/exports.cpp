// The toolhelp, WOW64, psapi and version functions that the simulated system
// libraries export; the tool reaches them only through GetProcAddress.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "machine.h"

namespace sim {
namespace exports {
namespace {

using Kind = Machine::HandleKind;

std::string Number(unsigned long long value) { return std::to_string(value); }
std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}

[[noreturn]] void NotModelled(const std::string &what) {
  std::fprintf(stderr, "simulated machine: not modelled: %s\n", what.c_str());
  std::abort();
}

const Process *ProcessOf(HANDLE handle) {
  Machine::HandleObject *object = M().Lookup(handle, Kind::Process);
  if (!object) return nullptr;
  for (const Process &process : M().Processes())
    if (process.id == object->processId) return &process;
  return nullptr;
}

BOOL FillEntry(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
  Machine::HandleObject *object = M().Lookup(snapshot, Kind::Snapshot);
  if (!object) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (entry->dwSize != sizeof(PROCESSENTRY32)) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (first) object->cursor = 0;
  if (object->cursor >= object->snapshot.size()) {
    M().lastError = ERROR_NO_MORE_FILES;
    return FALSE;
  }
  const Process &process = object->snapshot[object->cursor++];
  std::memset(reinterpret_cast<char *>(entry) + sizeof(DWORD), 0, sizeof(*entry) - sizeof(DWORD));
  entry->th32ProcessID = process.id;
  entry->cntThreads = 1;
  // A name too long for the field fills it with no zero byte.
  std::string image = process.imagePath.substr(0, MAX_PATH);
  std::memcpy(entry->szExeFile, image.c_str(), std::min<size_t>(image.size() + 1, MAX_PATH));
  return TRUE;
}

}  // namespace

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  if (M().Enter("CreateToolhelp32Snapshot", {Number(flags), Number(processId)}))
    return INVALID_HANDLE_VALUE;
  Machine::HandleObject object{Kind::Snapshot};
  for (const Process &process : M().Processes())
    if (M().IsRunning(process)) object.snapshot.push_back(process);
  return M().NewHandle(object);
}

BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  if (M().Enter("Process32First", {Number(entry->dwSize)})) return FALSE;
  return FillEntry(snapshot, entry, true);
}

BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  if (M().Enter("Process32Next", {Number(entry->dwSize)})) return FALSE;
  return FillEntry(snapshot, entry, false);
}

BOOL WINAPI Module32First(HANDLE, LPVOID) {
  M().Defect("Module32First is bound but never called by the tool");
  return FALSE;
}

BOOL WINAPI Module32Next(HANDLE, LPVOID) {
  M().Defect("Module32Next is bound but never called by the tool");
  return FALSE;
}

BOOL WINAPI EnumProcesses(DWORD *ids, DWORD bytes, LPDWORD bytesNeeded) {
  if (M().Enter("EnumProcesses", {Number(bytes)})) return FALSE;
  DWORD count = 0;
  for (const Process &process : M().Processes()) {
    if (!M().IsRunning(process)) continue;
    if ((count + 1) * sizeof(DWORD) > bytes) break;
    ids[count++] = process.id;
  }
  *bytesNeeded = count * sizeof(DWORD);
  return TRUE;
}

BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, LPDWORD needed) {
  if (M().Enter("EnumProcessModules", {Number(bytes)})) return FALSE;
  const Process *found = ProcessOf(process);
  if (!found) {
    M().Defect("EnumProcessModules on a handle that is not an open process");
    return FALSE;
  }
  if (!found->modulesReadable) {
    M().lastError = 299;  // ERROR_PARTIAL_COPY
    return FALSE;
  }
  // The main module and two more.
  if (bytes >= sizeof(HMODULE)) modules[0] = reinterpret_cast<HMODULE>(0x00400000);
  *needed = 3 * sizeof(HMODULE);
  return TRUE;
}

DWORD WINAPI GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size) {
  if (M().Enter("GetModuleBaseNameA", {Number(size)})) return 0;
  const Process *found = ProcessOf(process);
  if (!found || module != reinterpret_cast<HMODULE>(0x00400000) || size == 0) {
    M().Defect("GetModuleBaseNameA without an open process and its main module");
    return 0;
  }
  // A name too long for the buffer is cut to its size with no zero byte.
  std::string base = found->baseName.substr(0, size);
  std::memcpy(name, base.c_str(), std::min<size_t>(base.size() + 1, size));
  return static_cast<DWORD>(base.size());
}

BOOL WINAPI IsWow64Process(HANDLE process, BOOL *wow64) {
  if (M().Enter("IsWow64Process", {Hex(reinterpret_cast<uintptr_t>(process))})) return FALSE;
  if (process != CurrentProcessHandle()) NotModelled("IsWow64Process for another process");
  *wow64 = M().is64Bit ? TRUE : FALSE;
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE *token) {
  if (M().Enter("OpenProcessToken", {Hex(access)})) return FALSE;
  if (process != CurrentProcessHandle()) NotModelled("OpenProcessToken for another process");
  if (access != TOKEN_QUERY) NotModelled("OpenProcessToken for access " + Hex(access));
  if (M().version.platformId != VER_PLATFORM_WIN32_NT) {
    M().lastError = ERROR_CALL_NOT_IMPLEMENTED;
    return FALSE;
  }
  *token = M().NewHandle(Machine::HandleObject{Machine::HandleKind::Token});
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                DWORD length, LPDWORD needed) {
  if (M().Enter("GetTokenInformation", {Number(kind), Number(length)})) return FALSE;
  if (!M().Lookup(token, Machine::HandleKind::Token)) {
    M().Defect("GetTokenInformation on a handle that is not an open token");
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (kind != TokenUser) NotModelled("GetTokenInformation of class " + Number(kind));
  // S-1-5-18 for LocalSystem; S-1-5-21-1-2-3-1000 for a user.
  static const BYTE kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  static const BYTE kUserSid[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0,    0,
                                  0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE8, 3, 0, 0};
  const bool system = M().caller.account == kLocalSystem.account;
  const BYTE *sid = system ? kSystem : kUserSid;
  const DWORD sidLength = system ? sizeof kSystem : sizeof kUserSid;
  *needed = static_cast<DWORD>(sizeof(TOKEN_USER)) + sidLength;
  if (length < *needed || information == nullptr) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  BYTE *bytes = static_cast<BYTE *>(information);
  std::memcpy(bytes + sizeof(TOKEN_USER), sid, sidLength);
  TOKEN_USER user = {{bytes + sizeof(TOKEN_USER), 0}};
  std::memcpy(bytes, &user, sizeof user);
  return TRUE;
}

UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
  if (M().Enter("GetSystemWow64DirectoryA", {Number(size)})) return 0;
  if (!M().is64Bit) {
    M().lastError = ERROR_CALL_NOT_IMPLEMENTED;
    return 0;
  }
  return ReportDirectory(M().wow64Dir, M().wow64DirOverride, buffer, size);
}

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
  if (M().Enter("GetFileVersionInfoSizeA", {path})) return 0;
  if (handle) *handle = 0;
  File *file = M().FindFile(M().RedirectedPath(path));
  if (!file) {
    M().lastError = ERROR_FILE_NOT_FOUND;
    return 0;
  }
  if (!file->version) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return 0;
  }
  return static_cast<DWORD>(EncodeVersionBlock(*file->version).size());
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block) {
  if (M().Enter("GetFileVersionInfoA", {path, Number(handle), Number(size)})) return FALSE;
  File *file = M().FindFile(M().RedirectedPath(path));
  if (!file || !file->version) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return FALSE;
  }
  std::string encoded = EncodeVersionBlock(*file->version);
  std::memcpy(block, encoded.data(), std::min<size_t>(size, encoded.size()));
  M().versionBlockSizes[block] = std::min<size_t>(size, encoded.size());
  M().versionBlockOwners[block] = Fold(path);
  return TRUE;
}

// Reads the block as EncodeVersionBlock lays it out, never past the length
// the block states. The value handed back points into the caller's block.
BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *value, PUINT length) {
  if (M().Enter("VerQueryValueA", {subBlock})) return FALSE;
  const char *bytes = static_cast<const char *>(block);
  auto known = M().versionBlockSizes.find(block);
  if (known == M().versionBlockSizes.end()) {
    M().Defect("VerQueryValueA on a block GetFileVersionInfoA did not fill");
    return FALSE;
  }
  // A test's answer that the tool must not trust.
  auto owner = M().versionBlockOwners.find(block);
  const File *file = owner != M().versionBlockOwners.end() ? M().FindFile(owner->second) : nullptr;
  if (file && file->version && (file->version->answerAt || file->version->answerOutside)) {
    static char outside[] = "4.60";
    *value = file->version->answerOutside ? outside
                                          : const_cast<char *>(bytes + *file->version->answerAt);
    *length = 5;
    return file->version->answerFails ? FALSE : TRUE;
  }
  if (known->second < 8 || std::memcmp(bytes, "SIMV", 4) != 0) return FALSE;
  uint32_t total = 0;
  for (int i = 0; i < 4; ++i)
    total |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[4 + i])) << (8 * i);
  if (total > known->second) total = static_cast<uint32_t>(known->second);
  std::string query = Fold(subBlock);
  const std::string prefix = "\\stringfileinfo\\";
  if (query.compare(0, prefix.size(), prefix) != 0) return FALSE;
  std::string rest = query.substr(prefix.size());
  size_t slash = rest.find('\\');
  if (slash == std::string::npos) return FALSE;
  std::string translation = rest.substr(0, slash), name = rest.substr(slash + 1);

  // Three zero-ended texts per entry; a text that runs past the end fails.
  size_t at = 8;
  auto next = [&](std::string *text, size_t *start) {
    *start = at;
    const void *zero = at < total ? std::memchr(bytes + at, 0, total - at) : nullptr;
    if (!zero) return false;
    size_t end = static_cast<size_t>(static_cast<const char *>(zero) - bytes);
    text->assign(bytes + at, end - at);
    at = end + 1;
    return true;
  };
  std::string entryTranslation, entryName, entryValue;
  size_t start = 0, valueStart = 0;
  while (next(&entryTranslation, &start) && !entryTranslation.empty() &&
         next(&entryName, &start) && next(&entryValue, &valueStart)) {
    if (Fold(entryTranslation) == translation && Fold(entryName) == name) {
      *value = const_cast<char *>(bytes + valueStart);
      *length = static_cast<UINT>(entryValue.size() + 1);
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace exports
}  // namespace sim
