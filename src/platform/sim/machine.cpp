#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace sim {

namespace {
std::unique_ptr<Machine> g_machine;

// Where Windows keeps the delayed moves until the restart performs them.
const char kSessionManagerKey[] = "system\\currentcontrolset\\control\\session manager";
const char kPendingMovesValue[] = "pendingfilerenameoperations";

bool IsPendingMovesValue(const std::string &key, const std::string &name) {
  return Fold(key) == kSessionManagerKey && Fold(name) == kPendingMovesValue;
}

[[noreturn]] void Fatal(const std::string &message) {
  std::fprintf(stderr, "simulated machine: %s\n", message.c_str());
  std::abort();
}
}  // namespace

Machine &M() {
  if (!g_machine) g_machine = std::make_unique<Machine>();
  return *g_machine;
}

void Reset() { g_machine = std::make_unique<Machine>(); }

std::string Fold(const std::string &text) {
  std::string folded = text;
  for (char &c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BaseNameOf(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const std::map<UINT, std::string> &StringTable() {
  static const std::map<UINT, std::string> table = {
#define HALUNUPD_TEXT(name, number, text) {number, text},
#include "../../resources/strings.inc"
#undef HALUNUPD_TEXT
  };
  return table;
}

Machine::Machine() {
  Library kernel32;
  kernel32.exports = {
      {"CreateToolhelp32Snapshot", reinterpret_cast<FARPROC>(&exports::CreateToolhelp32Snapshot)},
      {"Process32First", reinterpret_cast<FARPROC>(&exports::Process32First)},
      {"Process32Next", reinterpret_cast<FARPROC>(&exports::Process32Next)},
      {"Module32First", reinterpret_cast<FARPROC>(&exports::Module32First)},
      {"Module32Next", reinterpret_cast<FARPROC>(&exports::Module32Next)},
      {"IsWow64Process", reinterpret_cast<FARPROC>(&exports::IsWow64Process)},
      {"GetSystemWow64DirectoryA", reinterpret_cast<FARPROC>(&exports::GetSystemWow64DirectoryA)},
  };
  systemLibraries_["kernel32.dll"] = kernel32;
  Library psapi;
  psapi.exports = {
      {"EnumProcesses", reinterpret_cast<FARPROC>(&exports::EnumProcesses)},
      {"EnumProcessModules", reinterpret_cast<FARPROC>(&exports::EnumProcessModules)},
      {"GetModuleBaseNameA", reinterpret_cast<FARPROC>(&exports::GetModuleBaseNameA)},
  };
  systemLibraries_["psapi.dll"] = psapi;
  Library version;
  version.exports = {
      {"GetFileVersionInfoSizeA", reinterpret_cast<FARPROC>(&exports::GetFileVersionInfoSizeA)},
      {"GetFileVersionInfoA", reinterpret_cast<FARPROC>(&exports::GetFileVersionInfoA)},
      {"VerQueryValueA", reinterpret_cast<FARPROC>(&exports::VerQueryValueA)},
  };
  systemLibraries_["version.dll"] = version;
  Library advapi32;
  advapi32.exports = {
      {"OpenProcessToken", reinterpret_cast<FARPROC>(&exports::OpenProcessToken)},
      {"GetTokenInformation", reinterpret_cast<FARPROC>(&exports::GetTokenInformation)},
  };
  systemLibraries_["advapi32.dll"] = advapi32;
  AddKey(kSessionManagerKey);
}

void Machine::PutFile(const std::string &path, const std::string &bytes) {
  File &file = files_[Fold(path)];
  file = File();
  file.bytes = bytes;
}

void Machine::PutExecutable(const std::string &path, const std::string &bytes,
                            const std::optional<std::string> &fileVersion) {
  PutFile(path, bytes);
  if (fileVersion) {
    VersionResource resource;
    VersionTable table;
    table.values["FileVersion"] = *fileVersion;
    resource.tables.push_back(table);
    files_[Fold(path)].version = resource;
  }
}

bool Machine::HasFile(const std::string &path) const { return files_.count(Fold(path)) != 0; }

std::string Machine::FileBytes(const std::string &path) const {
  auto it = files_.find(Fold(path));
  if (it == files_.end()) return "(missing file " + path + ")";
  return it->second.bytes;
}

bool Machine::DirectoryExists(const std::string &directory) const {
  std::string folded = Fold(directory);
  while (!folded.empty() && folded.back() == '\\') folded.pop_back();
  // A drive's root.
  if (folded.size() == 2 && folded[1] == ':') return true;
  // `folded` is `dir` or one of its parents.
  auto within = [&folded](const std::string &dir) {
    return dir.compare(0, folded.size(), folded) == 0 &&
           (dir.size() == folded.size() || dir[folded.size()] == '\\');
  };
  for (const std::string &dir : {systemDir, windowsDir, is64Bit ? wow64Dir : systemDir})
    if (within(Fold(dir))) return true;
  for (const auto &file : files_)
    if (within(DirectoryOf(file.first))) return true;
  return false;
}

File *Machine::FindFile(const std::string &path) {
  auto it = files_.find(Fold(path));
  return it == files_.end() ? nullptr : &it->second;
}

void Machine::PutFileRecord(const std::string &path, const File &file) {
  files_[Fold(path)] = file;
}

File &Machine::FileAt(const std::string &path) { return files_[Fold(path)]; }

void Machine::RemoveKey(const std::string &path) { keys_.erase(Fold(path)); }

void Machine::RemoveFile(const std::string &path) { files_.erase(Fold(path)); }

void Machine::LockFile(const std::string &path, uint64_t untilMs, DWORD error) {
  File *file = FindFile(path);
  if (!file) Fatal("cannot lock a missing file " + path);
  file->lockedUntil = untilMs;
  file->lockError = error;
}

std::vector<std::string> Machine::FilePaths() const {
  std::vector<std::string> paths;
  for (const auto &entry : files_) paths.push_back(entry.first);
  return paths;
}

RegKey &Machine::AddKey(const std::string &path) { return keys_[Fold(path)]; }

RegKey *Machine::FindKey(const std::string &path) {
  auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

void Machine::SetValue(const std::string &key, const std::string &name, DWORD type,
                       const std::string &bytes) {
  if (IsPendingMovesValue(key, name)) Fatal("writing the delayed moves other than by MoveFileExA");
  RegValue value;
  value.type = type;
  value.bytes = bytes;
  AddKey(key).values[Fold(name)] = value;
}

std::optional<RegValue> Machine::GetValue(const std::string &key, const std::string &name) {
  RegKey *found = FindKey(key);
  if (!found) return std::nullopt;
  if (IsPendingMovesValue(key, name)) {
    // As MoveFileEx keeps them: the source and the target of each move in NT
    // form (unless the move says otherwise), the target marked "!" when it may
    // be replaced and empty for a deletion, and any tail another program left;
    // absent when there is none.
    if (delayedMoves_.empty()) return std::nullopt;
    RegValue value;
    value.type = REG_MULTI_SZ;
    for (const DelayedMove &move : delayedMoves_) {
      const std::string prefix = move.ntForm ? "\\??\\" : "";
      value.bytes += prefix + move.from + '\0';
      if (!move.to.empty())
        value.bytes += ((move.flags & MOVEFILE_REPLACE_EXISTING) ? "!" : "") + prefix + move.to;
      value.bytes += '\0';
    }
    value.bytes += '\0';
    value.bytes += pendingMovesTail;
    return value;
  }
  auto it = found->values.find(Fold(name));
  if (it == found->values.end()) return std::nullopt;
  return it->second;
}

Library &Machine::SystemLibrary(const std::string &name) {
  auto found = systemLibraries_.find(Fold(name));
  if (found == systemLibraries_.end()) Fatal("no system library " + name);
  return found->second;
}

void Machine::RemoveSystemLibrary(const std::string &name) {
  if (systemLibraries_.erase(Fold(name)) == 0) Fatal("no system library " + name + " to remove");
}

void Machine::PlaceBesideTool(const std::string &name, const Library &library) {
  besideToolLibraries_[Fold(name)] = library;
}

void Machine::SetShortPath(const std::string &longPath, const std::string &shortForm) {
  shortPaths_[Fold(longPath)] = shortForm;
}

std::string Machine::ShortFormOf(const std::string &path) const {
  auto found = shortPaths_.find(Fold(path));
  return found != shortPaths_.end() ? found->second : path;
}

Process &Machine::AddProcess(DWORD id, const std::string &imagePath, const std::string &baseName) {
  Process process;
  process.id = id;
  process.imagePath = imagePath;
  process.baseName = baseName;
  processes_.push_back(process);
  return processes_.back();
}

Process *Machine::FindProcess(DWORD id) {
  for (Process &process : processes_)
    if (process.id == id) return &process;
  return nullptr;
}

void Machine::RegisterProgram(const std::string &path, ProgramMain main) {
  programs_[Fold(path)] = std::move(main);
}

Process *Machine::StartProgram(const std::string &path, const std::string &imagePath, DWORD id) {
  auto found = programs_.find(Fold(RedirectedPath(path)));
  if (found == programs_.end()) return nullptr;
  Process &process = AddProcess(id, imagePath, BaseNameOf(imagePath));
  process.identity = caller;
  // It runs in a process of its own: its string table is its own.
  bool wasInInstaller = inInstallerProcess;
  inInstallerProcess = false;
  ProgramMain main = found->second;
  main(process);
  inInstallerProcess = wasInInstaller;
  return &process;
}

bool Machine::IsPresent(const Window &window) const {
  if (window.processId == 0) return true;
  for (const Process &process : processes_)
    if (process.id == window.processId) return IsRunning(process);
  return false;
}

Window &Machine::AddWindow(const std::string &className,
                           std::function<LRESULT(UINT, WPARAM, LPARAM)> handler) {
  Window window;
  window.className = className;
  window.handler = std::move(handler);
  windows_.push_back(window);
  return windows_.back();
}

std::vector<std::string> Machine::CallNames() const {
  std::vector<std::string> names;
  for (const Call &call : calls_) names.push_back(call.name);
  return names;
}

std::vector<const Call *> Machine::CallsNamed(const std::string &name) const {
  std::vector<const Call *> found;
  for (const Call &call : calls_)
    if (call.name == name) found.push_back(&call);
  return found;
}

int Machine::OpenHandleCount() const {
  int count = 0;
  for (const auto &entry : handles_)
    if (entry.second.kind != HandleKind::Heap) ++count;
  return count;
}

std::map<std::string, int> Machine::OpenHandlesByKind() const {
  static const char *names[] = {"find",   "file", "key",  "process",
                                "snapshot", "thread", "heap", "token"};
  std::map<std::string, int> counts;
  for (const auto &entry : handles_)
    if (entry.second.kind != HandleKind::Heap) ++counts[names[static_cast<int>(entry.second.kind)]];
  return counts;
}

int Machine::LoadedLibraryCount() const {
  int count = 0;
  for (const auto &entry : systemLibraries_) count += entry.second.references;
  for (const auto &entry : besideToolLibraries_) count += entry.second.references;
  return count;
}

bool Machine::Enter(const char *name, std::vector<std::string> args, bool faultable) {
  if (otherProgram && !inOtherProgram_) {
    inOtherProgram_ = true;
    otherProgram(name);
    inOtherProgram_ = false;
  }
  Call call;
  call.name = name;
  call.args = std::move(args);
  call.atMs = nowMs;
  currentIsChosen_ = false;
  if (faultable) {
    call.faultable = true;
    const std::string &first = call.args.empty() ? std::string() : call.args[0];
    if (first.find('\\') != std::string::npos) call.subject = Fold(BaseNameOf(first));
    // Counted among the calls of its name, and among those on its file.
    int ofName = occurrences_[call.name]++;
    call.occurrence =
        call.subject.empty() ? ofName : occurrences_[call.name + "|" + call.subject]++;
    bool matches = !faults.operation.empty() && faults.operation == call.name &&
                   (faults.subject.empty() || faults.subject == call.subject);
    int nth = faults.subject.empty() ? ofName : call.occurrence;
    if (matches && (faults.occurrence < 0 || faults.occurrence == nth)) {
      call.failed = true;
      currentIsChosen_ = !faults.reached;
      faults.reached = true;
    } else if (faults.onward && faults.reached) {
      call.failed = true;
    }
  }
  bool failed = call.failed;
  calls_.push_back(std::move(call));
  if (failed) lastError = ERROR_ACCESS_DENIED;
  return failed;
}

HANDLE Machine::NewHandle(HandleObject object) {
  uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

Machine::HandleObject *Machine::Lookup(HANDLE handle, HandleKind kind) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

bool Machine::Release(HANDLE handle, HandleKind kind) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end() || it->second.kind != kind) {
    char text[64];
    std::snprintf(text, sizeof text, "%p", handle);
    defects_.push_back(std::string("closing a handle that is not an open one of its kind: ") +
                       text);
    return false;
  }
  handles_.erase(it);
  return true;
}

void *Machine::Allocate(size_t size) {
  void *block = std::malloc(size == 0 ? 1 : size);
  if (!block) Fatal("host out of memory");
  allocations_[block] = size;
  ++allocationsMade_;
  return block;
}

bool Machine::Free(void *block) {
  auto it = allocations_.find(block);
  if (it == allocations_.end()) {
    defects_.push_back("freeing a block that is not allocated");
    return false;
  }
  std::free(block);
  allocations_.erase(it);
  versionBlockSizes.erase(block);
  versionBlockOwners.erase(block);
  return true;
}

HMODULE Machine::LoadLibrary(const std::string &name) {
  std::string folded = Fold(name);
  std::string base = BaseNameOf(folded);
  std::string dir = DirectoryOf(folded);
  Library *library = nullptr;
  bool system = true;
  if (dir.empty()) {
    // A bare name: a library the process has mapped already, else the tool's
    // own directory is searched before the system's.
    auto beside = besideToolLibraries_.find(base);
    if (beside != besideToolLibraries_.end() && mappedLibraries_.count(base) == 0) {
      library = &beside->second;
      system = false;
    } else {
      auto found = systemLibraries_.find(base);
      if (found != systemLibraries_.end()) library = &found->second;
    }
  } else if (dir == Fold(systemDir)) {
    auto found = systemLibraries_.find(base);
    if (found != systemLibraries_.end()) library = &found->second;
  }
  if (!library) return nullptr;
  ++library->references;
  // One module handle per library, stable across loads as on Windows.
  std::string key = (system ? "s:" : "b:") + base;
  auto known = moduleHandles_.find(key);
  uintptr_t value = known != moduleHandles_.end()
                        ? known->second
                        : 0x10000000u + 0x10000u * static_cast<uintptr_t>(moduleHandles_.size());
  moduleHandles_[key] = value;
  modules_[value] = base;
  moduleIsSystem_[value] = system;
  return reinterpret_cast<HMODULE>(value);
}

Library *Machine::LibraryOf(HMODULE module) {
  auto it = modules_.find(reinterpret_cast<uintptr_t>(module));
  if (it == modules_.end()) return nullptr;
  auto &table = moduleIsSystem_[it->first] ? systemLibraries_ : besideToolLibraries_;
  auto found = table.find(it->second);
  return found == table.end() ? nullptr : &found->second;
}

bool Machine::UnloadLibrary(HMODULE module) {
  Library *library = LibraryOf(module);
  if (!library || library->references == 0) {
    defects_.push_back("freeing a library that is not loaded");
    return false;
  }
  --library->references;
  return true;
}

bool Machine::HeldWithoutShare(const std::string &folded, DWORD shareNeeded) const {
  for (const auto &entry : handles_)
    if (entry.second.kind == HandleKind::File && entry.second.path == folded &&
        (entry.second.share & shareNeeded) != shareNeeded)
      return true;
  return false;
}

bool Machine::HeldAgainst(const std::string &folded, DWORD shareMode) const {
  for (const auto &entry : handles_) {
    if (entry.second.kind != HandleKind::File || entry.second.path != folded) continue;
    DWORD used = ((entry.second.access & GENERIC_READ) ? FILE_SHARE_READ : 0) |
                 ((entry.second.access & GENERIC_WRITE) ? FILE_SHARE_WRITE : 0);
    if ((shareMode & used) != used) return true;
  }
  return false;
}

std::string Machine::RedirectedPath(const std::string &path) const {
  std::string prefix = Fold(systemDir) + "\\";
  if (!is64Bit || Fold(path).compare(0, prefix.size(), prefix) != 0) return path;
  return wow64Dir + path.substr(systemDir.size());
}

std::string Machine::RedirectedKey(const std::string &key) const {
  const std::string software = "software\\", node = "software\\wow6432node";
  std::string folded = Fold(key);
  if (!is64Bit || folded.compare(0, software.size(), software) != 0) return key;
  if (folded.compare(0, node.size(), node) == 0 &&
      (folded.size() == node.size() || folded[node.size()] == '\\'))
    return key;
  return key.substr(0, software.size()) + "Wow6432Node\\" + key.substr(software.size());
}

void Machine::EndPrograms() {
  for (Process &process : processes_)
    if (process.endsAtMs > nowMs) process.endsAtMs = nowMs;
  windows_.clear();
  for (auto &entry : files_) entry.second.lockedUntil = 0;
}

void Machine::EndToolProcess() {
  handles_.clear();
  for (auto &entry : allocations_) std::free(entry.first);
  allocations_.clear();
  versionBlockSizes.clear();
  versionBlockOwners.clear();
  for (auto &entry : systemLibraries_) entry.second.references = 0;
  for (auto &entry : besideToolLibraries_) entry.second.references = 0;
}

std::string FaultPlan::Describe() const {
  if (operation.empty()) return "no fault";
  std::string text =
      occurrence < 0 ? "every " + operation : operation + " #" + std::to_string(occurrence + 1);
  if (!subject.empty()) text += " of " + subject;
  if (onward) text += " and every call after it";
  if (tearCopy) text += tornKeepsVersion ? ", torn with its version" : ", torn";
  return text;
}

bool Machine::TearsThisCall() const { return faults.tearCopy && currentIsChosen_; }

void Machine::Restart() {
  EndPrograms();
  // Moves `from` onto `to`, which it replaces only when `replace` is set.
  auto move = [this](const std::string &from, const std::string &to, bool replace) {
    auto source = files_.find(from);
    if (source == files_.end() || !DirectoryExists(DirectoryOf(to))) return;
    if (from != to && files_.count(to) != 0 && !replace) return;
    File moved = source->second;
    moved.lockedUntil = 0;
    files_.erase(source);
    files_[to] = moved;
  };
  for (const DelayedMove &delayed : delayedMoves_) {
    if (delayed.to.empty())
      files_.erase(Fold(delayed.from));
    else
      move(Fold(delayed.from), Fold(delayed.to), (delayed.flags & MOVEFILE_REPLACE_EXISTING) != 0);
  }
  delayedMoves_.clear();
  std::string wininit = Fold(windowsDir + "\\wininit.ini");
  auto ini = files_.find(wininit);
  if (ini == files_.end() || version.platformId != VER_PLATFORM_WIN32_WINDOWS) return;
  std::string text = ini->second.bytes;
  // Kept as wininit.bak once its renames are done, replacing an earlier one.
  File backup = ini->second;
  files_.erase(ini);
  files_[Fold(windowsDir + "\\wininit.bak")] = backup;
  // The path as the restart-time renaming reads it: empty when it names a
  // long directory, which only has a long name there; a short form is taken
  // for its long directory.
  auto readable = [this](const std::string &path) -> std::string {
    std::string folded = Fold(path);
    for (const auto &entry : shortPaths_) {
      const std::string &longDir = entry.first, shortDir = Fold(entry.second);
      if (longDir == shortDir) continue;
      auto under = [&folded](const std::string &dir) {
        return folded.size() > dir.size() && folded.compare(0, dir.size(), dir) == 0 &&
               folded[dir.size()] == '\\';
      };
      if (under(longDir)) return std::string();
      if (under(shortDir)) return longDir + folded.substr(shortDir.size());
    }
    return folded;
  };
  for (const auto &rename : RenameSectionLines(text)) {
    std::string from = readable(rename.second);
    if (from.empty()) continue;
    if (Fold(rename.first) == "nul") {
      files_.erase(from);
      continue;
    }
    std::string to = readable(rename.first);
    if (!to.empty()) move(from, to, true);
  }
}

UINT ReportDirectory(const std::string &directory,
                     const std::optional<std::pair<std::string, UINT>> &override, LPSTR buffer,
                     UINT size) {
  if (override) {
    size_t count = std::min<size_t>(override->first.size(), size);
    std::memcpy(buffer, override->first.data(), count);
    return override->second;
  }
  if (directory.size() + 1 > size) return static_cast<UINT>(directory.size() + 1);
  std::memcpy(buffer, directory.c_str(), directory.size() + 1);
  return static_cast<UINT>(directory.size());
}

HANDLE CurrentProcessHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

std::vector<std::pair<std::string, std::string>> RenameSectionLines(const std::string &text) {
  std::vector<std::pair<std::string, std::string>> renames;
  bool inSection = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\0'))
      line.pop_back();
    if (!line.empty() && line[0] == '[') {
      if (inSection) break;  // only the first [Rename] section is read
      inSection = Fold(line) == "[rename]";
      continue;
    }
    size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos) continue;
    auto trimmed = [](std::string text) {
      size_t first = text.find_first_not_of(" \t");
      if (first == std::string::npos) return std::string();
      return text.substr(first, text.find_last_not_of(" \t") - first + 1);
    };
    renames.emplace_back(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
  }
  return renames;
}

std::string EncodeVersionBlock(const VersionResource &resource) {
  if (resource.rawBlock) return *resource.rawBlock;
  // "SIMV", a 4-byte little-endian total length, then entries of three
  // zero-ended texts (translation, name, value), then a zero byte.
  std::string body;
  for (const VersionTable &table : resource.tables)
    for (const auto &value : table.values) {
      body += table.translation + '\0' + value.first + '\0' + value.second + '\0';
    }
  body += '\0';
  uint32_t total = static_cast<uint32_t>(8 + body.size());
  std::string block = "SIMV";
  for (int i = 0; i < 4; ++i) block += static_cast<char>((total >> (8 * i)) & 0xFF);
  return block + body;
}

}  // namespace sim
