// One libFuzzer harness; FUZZ_ENTRY names the entry of fuzz_entries.hpp it drives.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzentries::silenceLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzentries::FUZZ_ENTRY({data, size});
  return 0;
}
