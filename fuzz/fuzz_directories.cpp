// The system, Windows and WOW64 directories: the machine's own (any bytes but
// a zero), directories reported with arbitrary bytes and lengths, and the
// short form reported for the system directory.
#include "harness.h"
#include "platform/sim/machine.h"

namespace {

// A directory the machine really has: no zero byte, no wildcard.
std::string RealDirectory(fuzzing::Reader &in) {
  std::string text = fuzzing::WithoutWildcards(in.Text(400));
  for (char &c : text)
    if (c == 0) c = '_';
  return text.empty() ? std::string("C:") : text;
}

// What a directory call reports instead: any bytes but a wildcard, and any
// length.
std::pair<std::string, UINT> Reported(fuzzing::Reader &in) {
  std::string bytes = fuzzing::WithoutWildcards(in.Text(400));
  return std::make_pair(bytes, static_cast<UINT>(in.Word()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzing::Reader in(data, size);
  fuzzing::SetUpMachine(in);
  sim::Machine &m = sim::M();
  uint8_t which = in.Byte();
  if (which & 1) m.systemDir = RealDirectory(in);
  if (which & 2) m.windowsDir = RealDirectory(in);
  if (which & 4) m.systemDirOverride = Reported(in);
  if (which & 8) m.windowsDirOverride = Reported(in);
  if (which & 0x20) {
    m.is64Bit = true;
    m.wow64Dir = RealDirectory(in);
  }
  if (which & 0x40) m.wow64DirOverride = Reported(in);
  // A short form of the system directory, of any bytes and length.
  if (which & 0x80) m.SetShortPath(m.systemDir, fuzzing::WithoutWildcards(in.Text(400)));
  fuzzing::AddMarkerKey();
  // An old installed version sends the run to the restart course, which
  // reads the Windows directory.
  fuzzing::PlaceProductFiles(in, which & 0x10);
  fuzzing::ChooseFault(in);
  fuzzing::RunAndCheck();
  return 0;
}
