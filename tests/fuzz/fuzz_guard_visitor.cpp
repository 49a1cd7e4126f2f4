// Fuzz target: the running-product guard's visitor, against a reference
// written from the rule itself. The first input byte picks the code page (bit
// 0: Japanese double-byte, else single-byte); the rest is the executable name
// a process list hands over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "install/product_guard.h"
#include "platform/sim/sim_machine.h"

namespace {

bool IsLead(bool doubleByte, unsigned char byte) {
  return doubleByte && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

// The file-name part after the last "\" or ":" that is not the second byte of
// a double-byte character, in ASCII capitals, equal to one of the three names.
bool ReferenceMatch(bool doubleByte, const std::string& name) {
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    if (IsLead(doubleByte, byte)) {
      ++i;
    } else if (byte == '\\' || byte == ':') {
      start = i + 1;
    }
  }
  std::string file = name.substr(start);
  for (char& c : file) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return file == "TAV.EXE" || file == "TAVMORI.EXE" || file == "TAVPELANI.EXE";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool doubleByte = data[0] & 1;
  // A name from a process list is zero-terminated: it ends at the first zero.
  const std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string exeName = name.substr(0, name.find('\0'));

  static korvanta::sim::SimMachine machine;
  machine.SetLeadByteRanges(doubleByte ? std::vector<std::pair<BYTE, BYTE>>{{0x81, 0x9F}, {0xE0, 0xFC}}
                                       : std::vector<std::pair<BYTE, BYTE>>{});
  korvanta::ClearProductRunningFlagForTesting();
  const bool goOn = korvanta::ProductProcessVisitor(machine, 4, exeName.c_str(), 0);
  const bool expected = ReferenceMatch(doubleByte, exeName);
  // A match stops the walk and sets the flag; anything else does neither.
  if (goOn == expected || korvanta::ProductRunningFlag() != expected) std::abort();
  machine.ClearCalls();  // the call log would grow without bound
  return 0;
}
