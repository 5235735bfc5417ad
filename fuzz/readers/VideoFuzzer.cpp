#include "fuzz/readers/FuzzInput.h"
#include "readers/MediaFacts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::ReadVideoFacts(brenvik::fuzzing::WriteInput(data, size, "input.video"));
  return 0;
}
