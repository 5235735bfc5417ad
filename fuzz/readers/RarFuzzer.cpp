#include "fuzz/readers/FuzzInput.h"
#include "readers/NameExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::AppSettings settings;
  settings.size = 1;  // the shortening runs on the scratch copy only
  brenvik::NameFromRar(brenvik::fuzzing::WriteInput(data, size, "input.rar"), settings);
  return 0;
}
