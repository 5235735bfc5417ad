#pragma once
// Hands each fuzz input to one damage check as an open file (in memory, so no disk is written).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::fuzzing {

inline int RunDamageCheck(const uint8_t* data, size_t size, IntegrityVerdict (*check)(const damage::FileSource&)) {
  static const int fd = ::memfd_create("damage-fuzz", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  const damage::FileSource file{fd, static_cast<int64_t>(size), nullptr};
  check(file);
  return 0;
}

}  // namespace brenvik::fuzzing
