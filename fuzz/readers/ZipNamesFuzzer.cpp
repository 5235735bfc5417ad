// Whole archives: the zip directory walk and names, and package extraction.
#include "fuzz/readers/FuzzInput.h"
#include "readers/DocumentReader.h"
#include "readers/NameExtraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = brenvik::fuzzing::WriteInput(data, size, "input.zip");
  brenvik::NameChoices choices;
  choices.temporaryFolder = brenvik::fuzzing::ScratchFolder() / "tvk";
  brenvik::NameFromZip(path, choices);
  brenvik::DocumentReader reader;
  reader.choices = choices;
  reader.choices.sheet = 1;
  reader.ReadXlsx(path);
  reader.ReadDocx(path);
  return 0;
}
