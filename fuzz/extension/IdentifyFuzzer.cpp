// Feeds arbitrary bytes to type identification: the signature rows, the compound-file probe with
// the Word template flag, the zip probe with its resynchronisation scan and a package's entries,
// and the further types (text among them).
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "extension/FileTypeIdentifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static brenvik::DocumentReader reader;
  brenvik::UniqueFd file(::memfd_create("identify", MFD_CLOEXEC));
  if (!file || !brenvik::WriteFull(file.get(), data, size)) return 0;
  uint8_t header[brenvik::kIdentifyHeaderSize] = {};
  std::memcpy(header, data, size < sizeof header ? size : sizeof header);
  const brenvik::FileType type = brenvik::IdentifyOpenFile(std::move(file), header, reader);
  // Every type is named by a short extension of its own (the longest is "sqlite").
  if (type.extension.size() > 6) __builtin_trap();
  return 0;
}
