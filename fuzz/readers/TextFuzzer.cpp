#include "fuzz/readers/FuzzInput.h"
#include "readers/NameExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::NameChoices choices;
  choices.nameLengthLimit = size > 0 ? data[0] : 64;
  brenvik::NameFromText(brenvik::fuzzing::WriteInput(data, size, "input.txt"), choices);
  return 0;
}
