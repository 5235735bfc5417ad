#include "fuzz/readers/FuzzInput.h"
#include "readers/NameExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::NameFromPdf(brenvik::fuzzing::WriteInput(data, size, "input.pdf"));
  return 0;
}
