// The machine states a setup leaves before it runs the tool, shared by the
// fault sweep and the stop-and-rerun sweep: each arranges the managed files,
// running copies and restart-time instructions on the machine's current
// family, and says which pair a finished replacement leaves.
#ifndef HALUNUPD_TESTS_SETUPS_H
#define HALUNUPD_TESTS_SETUPS_H

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Full path of a file in the tool's system directory, where it really is: in
// the machine's reported system directory, or on a 64-bit machine in its
// WOW64 directory.
std::string Sys(const std::string &name);
// Places the installed or staged pair in the system directory.
void Install(const std::string &exeVersion, const std::string &exeBytes = "old exe",
             const std::string &libBytes = "old dll");
void Stage(const std::string &exeVersion, const std::string &exeBytes = "new exe",
           const std::string &libBytes = "new dll");

// A step that arranges the machine; the setups and the tests' tables are
// made of them.
using Step = std::function<void()>;
// The steps, in order.
Step Steps(std::vector<Step> steps);
// The calls named `operation` fail: all of them, or the one at `occurrence`.
Step Failing(const char *operation, int occurrence = -1);
// The system library `library` lacks its export `entry`; with "" the
// library itself is gone.
Step Unbound(const char *library, const char *entry);
// Install and Stage as steps.
Step Installed(const char *version, const char *exeBytes = "old exe",
               const char *libBytes = "old dll");
Step Staged(const char *version);
// The file `name` of the system directory held open by another program.
Step Locked(const char *name);

struct Arrangement {
  const char *name;
  // What the installed executable and library hold once everything the
  // setup asked for is done.
  const char *exe, *dll;
  Step arrange;
  // Only the restart can replace them: where it replaces nothing, they stay
  // as installed and keep their staged copies.
  bool restartOnly = false;
};

// Looks an arrangement up by name; aborts on an unknown one.
const Arrangement &Arranged(const char *name);

}  // namespace testing_support

#endif
