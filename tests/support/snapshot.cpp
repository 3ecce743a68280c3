#include "support/snapshot.h"

#include <tuple>

#include "base/text.h"
#include "notice/notice.h"
#include "support/scenario.h"

namespace testing_support {

const std::string kComplete = sim::StringTable().at(TEXT_MARKER_COMPLETE) + '\0';

namespace {

Bytes Read(const std::string &path) {
  return sim::M().HasFile(path) ? Bytes(sim::M().FileBytes(path)) : std::nullopt;
}

// The staged name of an installed file: its last letter becomes '$'.
std::string StagedName(std::string name) { return name.replace(name.size() - 1, 1, "$"); }

std::string Flags(DWORD flags) {
  std::string text;
  if (flags & MOVEFILE_REPLACE_EXISTING) text += "MOVEFILE_REPLACE_EXISTING|";
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) text += "MOVEFILE_DELAY_UNTIL_REBOOT|";
  DWORD other = flags & ~(DWORD)(MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
  if (other || text.empty()) text += std::to_string(other) + "|";
  return text.substr(0, text.size() - 1);
}

void Print(std::ostream &out, const char *label, const Bytes &bytes) {
  out << "\n  " << label << ": ";
  if (!bytes) {
    out << "(absent)";
    return;
  }
  out << '"';
  for (unsigned char c : *bytes)
    if (c == '\r')
      out << "\\r";
    else if (c == '\n')
      out << "\\n";
    else if (c < 32 || c > 126)
      out << "\\x" << std::hex << int(c) << std::dec;
    else
      out << c;
  out << '"';
}

}  // namespace

bool operator==(const MachineState &a, const MachineState &b) {
  auto tie = [](const MachineState &s) {
    return std::tie(s.exe, s.dll, s.stagedExe, s.stagedDll, s.marker, s.wininit, s.launches,
                    s.notices, s.openHandles, s.heapBlocks, s.libraryReferences, s.defects);
  };
  if (tie(a) != tie(b) || a.moves.size() != b.moves.size()) return false;
  for (size_t i = 0; i < a.moves.size(); ++i)
    if (std::tie(a.moves[i].from, a.moves[i].to, a.moves[i].flags) !=
        std::tie(b.moves[i].from, b.moves[i].to, b.moves[i].flags))
      return false;
  return true;
}

void PrintTo(const MachineState &s, std::ostream *out) {
  Print(*out, "halunexe.exe", s.exe);
  Print(*out, "halundll.dll", s.dll);
  Print(*out, "halunexe.ex$", s.stagedExe);
  Print(*out, "halundll.dl$", s.stagedDll);
  Print(*out, "marker", s.marker);
  Print(*out, "wininit.ini", s.wininit);
  for (const sim::DelayedMove &move : s.moves)
    *out << "\n  delayed move: " << move.from << " -> " << move.to << " (" << Flags(move.flags)
         << ")";
  for (const std::string &launch : s.launches) *out << "\n  started: " << launch;
  *out << "\n  notices:";
  for (UINT message : s.notices)
    *out << ' ' << (message == NOTICE_MESSAGE ? "NOTICE_MESSAGE" : std::to_string(message));
  *out << "\n  left behind: " << s.openHandles << " handles, " << s.heapBlocks << " heap blocks, "
       << s.libraryReferences << " library references";
  for (const std::string &defect : s.defects) *out << "\n  defect: " << defect;
  *out << "\n";
}

MachineState Snapshot() {
  sim::Machine &m = sim::M();
  MachineState s;
  s.exe = Read(Sys("halunexe.exe"));
  s.dll = Read(Sys("halundll.dll"));
  s.stagedExe = Read(Sys("halunexe.ex$"));
  s.stagedDll = Read(Sys("halundll.dl$"));
  if (auto value = m.GetValue(m.RedirectedKey(kMarkerKey), kMarkerValue)) s.marker = value->bytes;
  s.wininit = Read(m.windowsDir + "\\wininit.ini");
  s.moves = m.DelayedMoves();
  // A program started as anyone but the user says so.
  for (const sim::Launch &launch : m.Launches())
    s.launches.push_back(launch.startedBy == sim::kUser
                             ? launch.commandLine
                             : launch.commandLine + " (as " + launch.startedBy.account + ")");
  for (const sim::Window &window : m.Windows())
    s.notices.insert(s.notices.end(), window.received.begin(), window.received.end());
  s.openHandles = m.OpenHandleCount();
  s.heapBlocks = m.LiveAllocationCount();
  s.libraryReferences = m.LoadedLibraryCount();
  s.defects = m.Defects();
  return s;
}

std::vector<sim::DelayedMove> RestartMoves(std::initializer_list<const char *> names) {
  std::vector<sim::DelayedMove> moves;
  for (const char *name : names)
    moves.push_back({sim::Fold(Sys(StagedName(name))), sim::Fold(Sys(name)),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
  return moves;
}

std::string RenameFile(std::initializer_list<const char *> names) {
  const std::string dir = sim::M().systemDir;
  std::string text = "[Rename]\r\n";
  for (const char *name : names)
    text += dir + "\\" + name + " = " + dir + "\\" + StagedName(name) + "\r\n";
  return text + std::string(1, '\0');
}

void RestartAndExpect(bool replaced) {
  sim::M().Restart();
  MachineState after = Snapshot();
  EXPECT_EQ(Bytes(replaced ? "new exe" : "old exe"), after.exe) << "after the restart";
  EXPECT_EQ(Bytes(replaced ? "new dll" : "old dll"), after.dll) << "after the restart";
  EXPECT_EQ(replaced, !after.stagedExe && !after.stagedDll) << "after the restart";
}

std::string ResidentCommandLine() {
  return sim::Fold(sim::M().systemDir + "\\halunexe.exe") + sim::StringTable().at(TEXT_RESTART_ARGUMENT);
}

}  // namespace testing_support
