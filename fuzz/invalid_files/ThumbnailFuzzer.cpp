// The embedded thumbnail search of the Thumbnails criterion, on a memory file per input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "invalid_files/TwinFinder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = ::memfd_create("thumbnail-fuzz", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  brenvik::CollectTwinFacts(fd, static_cast<int64_t>(size), true, true);
  return 0;
}
