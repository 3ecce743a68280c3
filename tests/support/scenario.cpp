#include "support/scenario.h"

#include "files/files.h"

namespace testing_support {

const char kMarkerKey[] = "Software\\Morvane of Brastow\\Morvane Lumetra 4.5";
const char kMarkerValue[] = "Vastel";
const char kMarkerKey64[] = "Software\\Wow6432Node\\Morvane of Brastow\\Morvane Lumetra 4.5";

const Family kWin32s{"Win32s", VER_PLATFORM_WIN32s, 3, 1, PLATFORM_WIN32S};
const Family kWin95{"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, PLATFORM_WIN95};
const Family kWin98{"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, PLATFORM_WIN98ME};
const Family kWinMe{"Windows ME", VER_PLATFORM_WIN32_WINDOWS, 4, 90, PLATFORM_WIN98ME};
const Family kNt4{"Windows NT 4", VER_PLATFORM_WIN32_NT, 4, 0, PLATFORM_NT4};
const Family kWin2000{"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, PLATFORM_NT5};
const Family kWinXp{"Windows XP", VER_PLATFORM_WIN32_NT, 5, 1, PLATFORM_NT5};
const Family kWin10{"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, PLATFORM_NT5};
const Family kWin10x64{"Windows 10, 64-bit", VER_PLATFORM_WIN32_NT, 10, 0, PLATFORM_NT5, true};

void SimTest::SetUp() {
  sim::Reset();
  ResetRunState();
}

void SimTest::UseFamily(const Family &family) {
  m().version.platformId = family.platformId;
  m().version.major = family.major;
  m().version.minor = family.minor;
  if (family.platformId == VER_PLATFORM_WIN32_WINDOWS) m().systemDir = "C:\\WINDOWS\\SYSTEM";
  // KERNEL32 has the WOW64 functions from Windows XP on.
  bool beforeXp = family.platformId != VER_PLATFORM_WIN32_NT || family.major < 5 ||
                  (family.major == 5 && family.minor == 0);
  if (beforeXp) {
    m().systemLibraries["kernel32.dll"].exports.erase("IsWow64Process");
    m().systemLibraries["kernel32.dll"].exports.erase("GetSystemWow64DirectoryA");
  }
  m().is64Bit = family.is64Bit;
  if (family.is64Bit) {
    m().systemDir = "C:\\Windows\\system32";
    m().wow64Dir = "C:\\Windows\\SysWOW64";
  }
}

void SimTest::PrepareRun() {
  ClassifyPlatform();
  ASSERT_LT(m().systemDir.size(), sizeof(g_run.paths.systemDir)) << m().systemDir;
  lstrcpyA(g_run.paths.systemDir, m().systemDir.c_str());
  ASSERT_TRUE(BuildManagedPaths()) << "system directory " << m().systemDir;
}

std::string SimTest::Sys(const std::string &name) const {
  return sim::M().SystemFilesDir() + "\\" + name;
}

void SimTest::Install(const std::string &exeVersion, const std::string &exeBytes,
                      const std::string &libBytes) {
  m().PutExecutable(Sys("halunexe.exe"), exeBytes, exeVersion);
  m().PutFile(Sys("halundll.dll"), libBytes);
}

void SimTest::Stage(const std::string &exeVersion, const std::string &exeBytes,
                    const std::string &libBytes) {
  m().PutExecutable(Sys("halunexe.ex$"), exeBytes, exeVersion);
  m().PutFile(Sys("halundll.dl$"), libBytes);
}

void SimTest::AddMarkerKey() { m().AddKey(m().is64Bit ? kMarkerKey64 : kMarkerKey); }

std::string SimTest::MarkerText() {
  auto value = m().GetValue(m().is64Bit ? kMarkerKey64 : kMarkerKey, kMarkerValue);
  return value ? value->bytes : std::string("(no value)");
}

void SimTest::ExpectCleanExit() {
  EXPECT_EQ(0, m().OpenHandleCount()) << "open handles left";
  EXPECT_EQ(0, m().LiveAllocationCount()) << "heap blocks left";
  EXPECT_TRUE(m().defects.empty()) << "first defect: " << (m().defects.empty() ? "" : m().defects[0]);
}

}  // namespace testing_support
