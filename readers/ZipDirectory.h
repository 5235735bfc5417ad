#pragma once
// Reads what identifying a zip package needs (its entries' names, and a small entry or two)
// straight from the bytes, without the zip library: the directory comes in one read of the
// file's tail and an entry's data is inflated from its local header. Its byte-at-a-time header
// reading cost more than the rest of a package's identification. Only the common archive is
// read here: a directory whose end record lies in the last kZipTailRead bytes and needs no Zip64
// records. Anything else is left to ZipArchive, which has the last word.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

inline constexpr int64_t kZipTailRead = 16 * 1024;
// The most entries a directory read here lists.
inline constexpr size_t kZipDirectoryEntries = 4096;

// Bytes of a file already read, starting at file offset `from`.
struct HeldBytes {
  std::span<const uint8_t> bytes;
  int64_t from = 0;
  // The `count` bytes at `offset`, when all of them are held; null otherwise.
  const uint8_t* at(int64_t offset, size_t count) const;
};

// Inflates the item whose local header is at `headerOffset` of the open file `fd` (`length`
// bytes long, negative when unknown) into `contents`, provided that header names `name`. Bytes in
// `held` are not read again. `packedSize` is the item's compressed size as its directory record
// states it (negative: as the local header states it; a deflated item whose sizes trail it in a
// descriptor then ends where its stream ends). Stored and deflated items only. False when the
// header names another item, the data cannot be read or it holds more than `cap` bytes.
bool ReadLocalItem(int fd, int64_t length, const HeldBytes& held, int64_t headerOffset, std::string_view name,
                   int64_t packedSize, uint64_t cap, std::string& contents);

// The central directory of a zip in the open file `fd`, read whole.
class ZipDirectory {
 public:
  struct Entry {
    std::string_view name;  // the stored name bytes
    int64_t localHeader = 0;
    int64_t packedSize = 0;
  };

  enum class Outcome {
    Listed,
    NoArchive,      // no end record anywhere in the file: no zip reader would open it
    LeftToLibrary,  // not an archive this reader takes (see above), or its directory is damaged
  };
  // Reads the directory of the file, `length` bytes long; bytes in `held` are not read again.
  Outcome Read(int fd, int64_t length, const HeldBytes& held = {});
  // The entries in directory order, at most kZipDirectoryEntries of them.
  const std::vector<Entry>& entries() const { return entries_; }
  // Inflates an entry of this directory (see ReadLocalItem).
  bool ReadItem(const Entry& entry, uint64_t cap, std::string& contents) const;

 private:
  int fd_ = -1;
  int64_t length_ = 0;
  std::vector<uint8_t> tail_;  // the file's last bytes, from tailFrom_ on
  int64_t tailFrom_ = 0;
  std::vector<uint8_t> directory_;  // the directory when it does not lie in the tail
  std::vector<Entry> entries_;
};

}  // namespace brenvik
