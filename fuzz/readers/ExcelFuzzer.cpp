#include "fuzz/readers/FuzzInput.h"
#include "readers/DocumentReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::DocumentReader reader;
  reader.ReadExcelWorkbook(brenvik::fuzzing::WriteInput(data, size, "input.xls"));
  return 0;
}
