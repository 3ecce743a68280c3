// The guarantee every run must keep, whatever fails: no managed file that
// existed before the run is left without an installed or a staged copy, and
// after the next restart each managed file that had an installed copy, or a
// staged copy the run used up, is installed.
//
// Plain functions over sim::M(), without GoogleTest, so that the fuzz targets
// can use them too. Each check returns the violations it found, one per line;
// an empty text means the guarantee holds.
#ifndef HALUNUPD_TESTS_INVARIANT_H
#define HALUNUPD_TESTS_INVARIANT_H

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ManagedFileState {
  const char *label;  // "executable" or "library"
  std::string installedPath, stagedPath;
  bool installed = false, staged = false;
  std::string stagedBytes;  // the staged copy's, when there is one
};

struct ManagedSnapshot {
  ManagedFileState files[2];  // the executable, then the library
  // The rename file held, before the run, restart instructions of its own
  // that move a managed file somewhere the tool would not: what the restart
  // then does to the managed files is not the run's doing.
  bool foreignRenames = false;
};

// Records which managed files exist where the tool's system directory really
// is (on a 64-bit machine, its WOW64 directory).
ManagedSnapshot SnapshotManagedFiles();

// After the run: every managed file that existed before still has its
// installed or its staged copy on disk.
std::string CheckManagedFilesAfterRun(const ManagedSnapshot &before);

// Performs the machine's restart, then checks that each managed file that was
// installed before the run, or whose staged copy is gone, is installed. With
// `unreached` given (every call failed from some point on), a file the run
// deleted and kept the staged copy of is not reported: `*unreached` is set.
std::string RestartAndCheckManagedFiles(const ManagedSnapshot &before, bool *unreached = nullptr);

// The end of a run that reported `status`, whatever failed in it: one of the
// statuses; no handle, heap block or library reference left and no misuse of
// an interface; a replacement reported only with every file that was staged
// holding the staged bytes under its installed name; then both checks above,
// the restart only performed after the first holds (`unreached` as there).
// The violations follow the status ("status 3; ..."); empty when none.
std::string CheckRunEnd(const ManagedSnapshot &before, int status, bool *unreached = nullptr);

// Source paths of the restart instructions the machine holds: the delayed
// moves and the lines of the first [Rename] section of wininit.ini.
std::string DescribeScheduledMoves();

// The lines of that section, as (target, source) pairs; none where the
// family has no rename file.
std::vector<std::pair<std::string, std::string>> WininitRenames();

}  // namespace testing_support

#endif
