// Feeds hostile bytes to the journal reader, as an undo of any file a user names would. Whatever
// it takes as a journal must name only plain paths below the job's root, since an undo moves
// files by those names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "journal/Journal.h"
#include "platform/FileOps.h"

using namespace brenvik;

namespace {

bool PlainBelowRoot(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader takes a descriptor, as the undo opens the journal once and reads that file.
  const UniqueFd fd(::memfd_create("journal", MFD_CLOEXEC));
  if (!fd || !WriteFull(fd.get(), data, size) || ::lseek(fd.get(), 0, SEEK_SET) != 0) return 0;
  const std::optional<JournalContents> journal = ReadJournal(fd.get());
  if (!journal) return 0;
  for (const JournalEntry& entry : journal->entries) {
    if (!PlainBelowRoot(entry.from)) std::abort();
    if (entry.kind == JournalEntryKind::FolderCreated ? !entry.to.empty() : !PlainBelowRoot(entry.to)) std::abort();
  }
  return 0;
}
