// What else the run reads: the marker value's type and bytes, an existing
// wininit.ini, and the running processes' image names and number.
#include "harness.h"
#include "base/text.h"
#include "platform/sim/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzing::Reader in(data, size);
  fuzzing::SetUpMachine(in);
  sim::Machine &m = sim::M();
  uint8_t which = in.Byte();
  if (which & 1) {
    DWORD type = in.Dword() % 12;
    m.SetValue(sim::StringTable().at(TEXT_MARKER_KEY), sim::StringTable().at(TEXT_MARKER_VALUE), type,
               in.Text(300));
  } else if (which & 2) {
    fuzzing::AddMarkerKey();
  }
  fuzzing::PlaceProductFiles(in, which & 4);

  // Processes: a few with names from the input, then many alike.
  size_t named = in.Byte() % 8;
  for (size_t i = 0; i < named; ++i) {
    std::string image = in.Text(300);
    sim::Process &process =
        m.AddProcess(in.Dword(), image, in.Bit() ? in.Text(300) : sim::BaseNameOf(image));
    process.openable = !in.Bit();
    process.modulesReadable = !in.Bit();
  }
  size_t alike = in.Word() % 1300;
  for (size_t i = 0; i < alike; ++i)
    m.AddProcess(static_cast<DWORD>(0x100 + 4 * i), "C:\\APP\\HALUNEXE.EXE", "halunexe.exe");
  if (in.Bit() && m.Windows().empty()) m.AddWindow("HALUNSHOW_STUB");

  if (which & 0x10) fuzzing::ChooseFault(in);
  // Whatever is left is the rename file as the restart course finds it.
  if (which & 8) m.PutFile(m.windowsDir + "\\wininit.ini", in.Rest());
  fuzzing::RunAndCheck();
  return 0;
}
