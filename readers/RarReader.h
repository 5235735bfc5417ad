#pragma once
// Names of the files inside a RAR archive (header generations 1.5-4.x and 5.0), read from the
// block headers alone without decompressing anything, and the position just after the archive's
// end block.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace brenvik {

// CRC-32 (IEEE 802.3, reflected 0xEDB88320, initial 0xFFFFFFFF, final complement).
uint32_t Crc32(std::span<const uint8_t> bytes);

// A file stored without compression: its data lies as it is in the archive, so its CRC can be
// checked without unpacking.
struct RarStoredEntry {
  int64_t dataOffset = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
};

class RarNameReader {
 public:
  static constexpr int kCannotOpen = -1;
  static constexpr int kNotRar = 1;
  static constexpr int kWalked = 0;

  // Walks the archive's headers. kCannotOpen when the file cannot be opened; kNotRar when it is
  // shorter than 21 bytes or lacks the signature at offset 0; kWalked otherwise (the names may
  // still be empty). A header that fails its CRC or runs past the end ends the walk, keeping the
  // names found so far. The names are passed through CleanEntryName. The file is closed on return.
  int ReadRarNames(const std::filesystem::path& path);
  // The same walk over an open file of `length` bytes, which stays open.
  int ReadRarHeaders(int fd, int64_t length);

  // The names of the plain files found, in archive order, with nothing between them.
  const std::u16string& names() const { return names_; }
  int64_t fileLength() const { return fileLength_; }
  // The position just after the end-of-archive block; 0 unless that block was read intact.
  int64_t archiveEnd() const { return archiveEnd_; }
  // Where the walk ended: the header it could not read (or the end block).
  int64_t walkEnd() const { return walkEnd_; }
  // The plain, unencrypted, unsplit files stored without compression, in archive order.
  const std::vector<RarStoredEntry>& storedEntries() const { return stored_; }
  // True when the walk met the sign that the headers after it are encrypted (a password on the
  // file names), where it ended: what follows cannot be read without the password.
  bool headersEncrypted() const { return headersEncrypted_; }

 private:
  std::u16string names_;
  int64_t fileLength_ = 0;
  int64_t archiveEnd_ = 0;
  int64_t walkEnd_ = 0;
  std::vector<RarStoredEntry> stored_;
  bool headersEncrypted_ = false;
};

}  // namespace brenvik
