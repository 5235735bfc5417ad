// The zip directory read straight from a file's tail, and each listed entry inflated from its
// local header, as type identification reads a package.
#include <sys/mman.h>

#include <string>

#include "platform/FileOps.h"
#include "readers/ZipDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenvik::UniqueFd file(::memfd_create("zip", MFD_CLOEXEC));
  if (!file || !brenvik::WriteFull(file.get(), data, size)) return 0;
  const auto length = static_cast<int64_t>(size);
  // Half the input is held, as identification holds a package's first bytes.
  const brenvik::HeldBytes held{std::span(data, size / 2), 0};
  brenvik::ZipDirectory directory;
  if (directory.Read(file.get(), length, held) != brenvik::ZipDirectory::Outcome::Listed) return 0;
  std::string contents;
  for (const brenvik::ZipDirectory::Entry& entry : directory.entries()) {
    if (entry.name.size() <= 64) directory.ReadItem(entry, 1 << 16, contents);
    if (contents.size() > (1 << 16)) __builtin_trap();
  }
  brenvik::ReadLocalItem(file.get(), length, held, 0, "mimetype", -1, 256, contents);
  return 0;
}
