#include "support/families.h"

#include "platform/sim/machine.h"

namespace testing_support {

std::vector<const Family *> OnePerBehaviour() {
  return FamiliesWhere([](const Family &f) {
    for (const Family &older : kFamilies)
      if (older.expected == f.expected && older.restart == f.restart &&
          older.shared.notice == f.shared.notice && older.is64Bit == f.is64Bit)
        return &older == &f;
    return false;
  });
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
