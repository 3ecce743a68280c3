#include "support/families.h"

#include "platform/sim/machine.h"

namespace testing_support {

std::vector<const Family *> Families(std::initializer_list<Where> traits) {
  std::vector<const Family *> chosen;
  for (const Family &family : kFamilies)
    if (HasAll(family, traits)) chosen.push_back(&family);
  return chosen;
}

std::vector<const Family *> FamiliesWhere(bool (*keep)(const Family &)) {
  std::vector<const Family *> chosen;
  for (const Family &family : kFamilies)
    if (keep(family)) chosen.push_back(&family);
  return chosen;
}

std::vector<const Family *> OnePerBehaviour() {
  std::vector<const Family *> chosen;
  for (const Family &family : kFamilies) {
    bool seen = false;
    for (const Family *other : chosen)
      seen = seen ||
             (other->expected == family.expected && other->restart == family.restart &&
              other->shared.notice == family.shared.notice && other->is64Bit == family.is64Bit);
    if (!seen) chosen.push_back(&family);
  }
  return chosen;
}

std::vector<const Family *> OnePerNotice() {
  return {First({Where::Snapshot}), First({Where::ProcessList})};
}

void UseFamily(const Family &family) {
  sim::Machine &m = sim::M();
  m.version.platformId = family.platformId;
  m.version.major = family.major;
  m.version.minor = family.minor;
  if (family.platformId == VER_PLATFORM_WIN32_WINDOWS) m.systemDir = "C:\\WINDOWS\\SYSTEM";
  if (!family.wow64Exports)
    for (const char *entry : {"IsWow64Process", "GetSystemWow64DirectoryA"})
      m.SystemLibrary("kernel32.dll").exports.erase(entry);
  m.is64Bit = family.is64Bit;
  if (family.is64Bit) {
    m.systemDir = "C:\\Windows\\system32";
    m.wow64Dir = "C:\\Windows\\SysWOW64";
  }
}

}  // namespace testing_support
