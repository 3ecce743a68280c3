// Shared part of the fuzz targets: a reader that turns the fuzzer's bytes into
// machine settings, a default product layout, and the whole run with its
// checks. Any violated guarantee aborts, which libFuzzer reports as a crash.
#ifndef HALUNUPD_FUZZ_HARNESS_H
#define HALUNUPD_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// Takes values from the front of the input; past its end every value is 0.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint16_t Word();
  uint32_t Dword();
  bool Bit() { return (Byte() & 1) != 0; }
  // A text of up to `maxLength` bytes, its length given by the next word.
  std::string Text(size_t maxLength);
  // Everything that is left.
  std::string Rest();
  bool AtEnd() const { return at_ >= size_; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Resets the machine and the run state, then sets the Windows family from one
// byte (the common families, 64-bit Windows 10, and any reported version).
void SetUpMachine(Reader &in);

// Places the product's files as four presence bits and two lock bits say:
// installed 4.50 (with `old`, 4.30, which sends the run to the restart
// course), staged 4.60 unless the caller changes the versions after.
// A further bit adds the resident and its stub window, and with the last bit
// one more byte says how it takes the notice (slow, hung, never answering;
// ending at once, a moment after, too late or never).
void PlaceProductFiles(Reader &in, bool old = false);

// Adds the marker key so that the completion step has somewhere to write.
void AddMarkerKey();

// Makes at most one platform call of the run fail, as the next word says:
// with its top bit set, the call of that index (below 256); else none.
void ChooseFault(Reader &in);

// Runs the tool once and aborts on any broken guarantee: a status outside
// the six, a handle, heap block or library left, a misuse of an interface,
// a replacement reported with a managed file not holding the staged bytes,
// or a managed file lost by the run or still missing after the restart.
void RunAndCheck();

// Replaces the bytes that the simulator does not model in a path (wildcards)
// by an underscore.
std::string WithoutWildcards(std::string text);

}  // namespace fuzzing

#endif
