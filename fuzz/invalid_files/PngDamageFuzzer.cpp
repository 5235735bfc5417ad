#include "fuzz/invalid_files/DamageFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brenvik::fuzzing::RunDamageCheck(data, size, brenvik::damage::CheckPng);
}
