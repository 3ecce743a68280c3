#include "support/invariant.h"

#include <sstream>

#include "base/state.h"
#include "platform/sim/machine.h"

namespace testing_support {

std::vector<std::pair<std::string, std::string>> WininitRenames() {
  sim::Machine &m = sim::M();
  std::string path = m.windowsDir + "\\wininit.ini";
  if (m.version.platformId != VER_PLATFORM_WIN32_WINDOWS || !m.HasFile(path)) return {};
  return sim::RenameSectionLines(m.FileBytes(path));
}

namespace {

const char *Presence(bool present) { return present ? "present" : "absent"; }

// Source paths of the restart instructions the machine holds: the delayed
// moves and the rename lines.
std::string DescribeScheduledMoves() {
  std::ostringstream out;
  out << "[";
  const char *separator = "";
  for (const sim::DelayedMove &move : sim::M().DelayedMoves()) {
    out << separator << "move " << move.from << " -> " << move.to;
    separator = "; ";
  }
  for (const auto &rename : WininitRenames()) {
    out << separator << "rename " << rename.second << " -> " << rename.first;
    separator = "; ";
  }
  out << "]";
  return out.str();
}

// After the run: every managed file that existed before still has its
// installed or its staged copy on disk.
std::string CheckManagedFilesAfterRun(const ManagedSnapshot &before) {
  sim::Machine &m = sim::M();
  std::ostringstream out;
  for (const ManagedFileState &file : before.files) {
    if (!file.installed && !file.staged) continue;
    bool installed = m.HasFile(file.installedPath), staged = m.HasFile(file.stagedPath);
    if (!installed && !staged)
      out << file.label << " lost by the run: installed " << Presence(file.installed)
          << " and staged " << Presence(file.staged)
          << " before, neither after; scheduled: " << DescribeScheduledMoves() << "\n";
  }
  return out.str();
}

// Performs the machine's restart, then checks that each managed file that was
// installed before the run, or whose staged copy is gone, is installed
// (`unreached` as CheckRunEnd takes it).
std::string RestartAndCheckManagedFiles(const ManagedSnapshot &before, bool *unreached) {
  sim::Machine &m = sim::M();
  bool stagedAfterRun[2], excused[2];
  for (int i = 0; i < 2; ++i) {
    const ManagedFileState &file = before.files[i];
    stagedAfterRun[i] = m.HasFile(file.stagedPath);
    excused[i] = unreached && file.installed && !m.HasFile(file.installedPath) && stagedAfterRun[i];
  }
  std::string scheduled = DescribeScheduledMoves();
  m.Restart();
  if (before.foreignRenames) return std::string();
  std::ostringstream out;
  for (int i = 0; i < 2; ++i) {
    const ManagedFileState &file = before.files[i];
    bool installed = m.HasFile(file.installedPath), staged = m.HasFile(file.stagedPath);
    if (installed) continue;
    // A staged copy that is still there after the restart was kept for a later
    // run; one that is gone must have become the installed copy.
    bool stagedUsedUp = file.staged && !staged;
    if ((file.installed || stagedUsedUp) && excused[i])
      *unreached = true;
    else if (file.installed || stagedUsedUp)
      out << file.label << " not installed after the restart: installed "
          << Presence(file.installed) << " and staged " << Presence(file.staged)
          << " before the run, staged " << Presence(stagedAfterRun[i])
          << " after it; scheduled: " << scheduled << "\n";
  }
  return out.str();
}

}  // namespace

ManagedSnapshot SnapshotManagedFiles() {
  sim::Machine &m = sim::M();
  ManagedSnapshot snapshot;
  const char *names[2][3] = {{"executable", "halunexe.exe", "halunexe.ex$"},
                             {"library", "halundll.dll", "halundll.dl$"}};
  for (int i = 0; i < 2; ++i) {
    ManagedFileState &file = snapshot.files[i];
    file.label = names[i][0];
    file.installedPath = m.SystemFilesDir() + "\\" + names[i][1];
    file.stagedPath = m.SystemFilesDir() + "\\" + names[i][2];
    file.installed = m.HasFile(file.installedPath);
    file.staged = m.HasFile(file.stagedPath);
    if (file.staged) file.stagedBytes = m.FileBytes(file.stagedPath);
  }
  // A line the tool itself writes moves a staged copy over its installed
  // name; any other line that takes a managed file away is foreign.
  for (const auto &rename : WininitRenames()) {
    std::string to = sim::Fold(rename.first), from = sim::Fold(rename.second);
    for (const ManagedFileState &file : snapshot.files) {
      bool fromManaged = from == sim::Fold(file.installedPath) || from == sim::Fold(file.stagedPath);
      bool ownLine = from == sim::Fold(file.stagedPath) && to == sim::Fold(file.installedPath);
      if (fromManaged && !ownLine) snapshot.foreignRenames = true;
    }
  }
  return snapshot;
}

std::string CheckRunEnd(const ManagedSnapshot &before, int status, bool *unreached) {
  sim::Machine &m = sim::M();
  std::ostringstream out;
  if (!IsRunStatus(status)) out << "status " << status << " is not one of the statuses\n";
  if (m.OpenHandleCount() != 0 || m.LiveAllocationCount() != 0 || m.LoadedLibraryCount() != 0)
    out << "left behind: " << m.OpenHandleCount() << " handles, " << m.LiveAllocationCount()
        << " heap blocks, " << m.LoadedLibraryCount() << " library references\n";
  for (const std::string &defect : m.Defects()) out << "defect: " << defect << "\n";
  for (const ManagedFileState &file : before.files) {
    const bool present = m.HasFile(file.installedPath);
    const std::string installed = present ? m.FileBytes(file.installedPath) : "(none)";
    if (status == RUN_REPLACED && file.staged && (!present || installed != file.stagedBytes))
      out << "status 3 with installed " << file.label << " \"" << installed << "\", staged \""
          << file.stagedBytes << "\"\n";
  }
  const std::string afterRun = CheckManagedFilesAfterRun(before);
  out << afterRun;
  if (afterRun.empty()) out << RestartAndCheckManagedFiles(before, unreached);
  const std::string problems = out.str();
  return problems.empty() ? problems : "status " + std::to_string(status) + "; " + problems;
}

}  // namespace testing_support
