#include "fuzz/readers/FuzzInput.h"
#include "readers/DocumentReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::DocumentReader reader;
  reader.ReadWordDocument(brenvik::fuzzing::WriteInput(data, size, "input.doc"));
  return 0;
}
