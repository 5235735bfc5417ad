#include "fuzz/readers/FuzzInput.h"
#include "readers/NameExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::NameChoices choices;
  choices.size = 1;  // the shortening runs on the scratch copy only
  brenvik::NameFromRar(brenvik::fuzzing::WriteInput(data, size, "input.rar"), choices);
  return 0;
}
