// Feeds arbitrary bytes to the compound-file layer: the probe, then a full load that reads every
// stream the directory names, as the document text readers do.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "readers/DocumentReader.h"

namespace {

brenvik::UniqueFd FileWith(const uint8_t* data, size_t size) {
  brenvik::UniqueFd fd(::memfd_create("compound", MFD_CLOEXEC));
  if (fd && !brenvik::WriteFull(fd.get(), data, size)) fd.reset();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static brenvik::DocumentReader reader;
  reader.ProbeCompoundFile(FileWith(data, size));

  brenvik::UniqueFd file = FileWith(data, size);
  if (!file) return 0;
  reader.ResetReader();
  if (!reader.LoadTables(file.get())) return 0;
  std::vector<brenvik::StreamLocation> streams;
  reader.WalkDirectory(file.get(), [&](const brenvik::DirectoryEntry& entry) {
    streams.push_back(entry.location());
    return brenvik::DocumentReader::EntryVerdict::Continue;
  });
  reader.LoadMiniStream(file.get());
  for (const auto& stream : streams) {
    std::vector<uint8_t> buffer(stream.size < (1u << 20) ? stream.size : (1u << 20));
    reader.ReadStream(file.get(), stream, buffer);
  }
  reader.FreeBuffers();
  return 0;
}
