// The version gate's input: version texts of any bytes, version resources
// without the text or under another translation, and whole raw blocks.
#include "harness.h"
#include "platform/sim/machine.h"

namespace {

void SetVersion(fuzzing::Reader &in, sim::File *file) {
  uint8_t mode = in.Byte() % 5;
  if (!file || mode == 0) return;  // keep the version the layout gave
  if (mode == 1) {
    file->version->tables[0].values["FileVersion"] = in.Text(400);
  } else if (mode == 2) {
    sim::VersionResource raw;
    raw.rawBlock = in.Text(800);
    file->version = raw;
  } else if (mode == 3) {
    file->version.reset();
  } else {
    sim::VersionTable table;
    table.translation = in.Text(12);
    table.values[in.Text(16)] = in.Text(64);
    file->version->tables.push_back(table);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzing::Reader in(data, size);
  fuzzing::SetUpMachine(in);
  fuzzing::AddMarkerKey();
  fuzzing::PlaceProductFiles(in);
  sim::Machine &m = sim::M();
  SetVersion(in, m.FindFile(m.SystemFilesDir() + "\\halunexe.exe"));
  SetVersion(in, m.FindFile(m.SystemFilesDir() + "\\halunexe.ex$"));
  fuzzing::ChooseFault(in);
  fuzzing::RunAndCheck();
  return 0;
}
