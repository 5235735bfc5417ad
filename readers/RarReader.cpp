#include "readers/RarReader.h"

#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/NameText.h"
#include "platform/ByteOrder.h"

namespace brenvik {
namespace {

constexpr uint8_t kSignature4[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr uint8_t kSignature5[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
// Names stop being collected once this many characters are gathered (the one that crosses it
// is still added whole).
constexpr size_t kNameGatheringLimit = 128;
constexpr int64_t kStepFailed = -1;

// 1.5-4.x block header.
constexpr uint8_t kMarkerBlock = 0x72;
constexpr uint8_t kMainBlock = 0x73;
constexpr uint16_t kFlagHeadersEncrypted4 = 0x0080;
constexpr uint8_t kFileBlock = 0x74;
constexpr uint8_t kEndBlock = 0x7B;
constexpr uint16_t kFlagAddSize = 0x8000;
constexpr uint16_t kFlagLargeFile = 0x0100;
constexpr uint16_t kFlagsSplitOrEncrypted = 0x0007;
constexpr uint16_t kDirectoryFlags = 0x00E0;
constexpr uint8_t kMethodStore4 = 0x30;
constexpr uint8_t kHostUnix4 = 3;

// 5.0 headers.
constexpr uint64_t kMainHeader5 = 1;
constexpr uint64_t kFileHeader5 = 2;
constexpr uint64_t kEncryptionHeader5 = 4;
constexpr uint64_t kEndHeader5 = 5;
constexpr uint64_t kSignatureAsHeader5 = 7;
constexpr uint64_t kMaxHeaderSize5 = 0x200000;
constexpr uint64_t kHostUnix5 = 1;

constexpr uint32_t kArchiveAttribute = 0x20;

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// A plain file: the archive bit alone for entries made on Windows or DOS; archives made on Unix
// store the file mode in the same field, where a regular file has the type bits 0o100000.
bool IsPlainFile(uint64_t attributes, bool madeOnUnix) {
  if (madeOnUnix) return (attributes & 0170000) == 0100000;
  return attributes == kArchiveAttribute;
}

// Text up to the first NUL.
std::span<const uint8_t> UpToNul(std::span<const uint8_t> bytes) {
  const auto* end = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0, bytes.size()));
  return end == nullptr ? bytes : bytes.first(static_cast<size_t>(end - bytes.data()));
}

// Reads a variable-length number of the 5.0 headers: 7 bits per byte, low group first, at most
// 8 bytes. False when it runs past `bytes` or the 8th byte still asks for more.
bool ReadVint(std::span<const uint8_t> bytes, size_t& at, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 8; ++i) {
    if (at >= bytes.size()) return false;
    const uint8_t b = bytes[at++];
    value |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// True when a 5.0 header's extra area holds an encryption record.
bool HasEncryptionRecord(std::span<const uint8_t> extra) {
  size_t at = 0;
  while (at < extra.size()) {
    uint64_t size = 0, type = 0;
    if (!ReadVint(extra, at, size) || size == 0 || size > extra.size() - at) return false;
    size_t typeAt = at;
    if (!ReadVint(extra, typeAt, type)) return false;
    if (type == 0x01) return true;
    at += static_cast<size_t>(size);
  }
  return false;
}

// Position + a size taken from the file, saturating so a huge size ends the walk instead of wrapping.
int64_t Advance(int64_t position, uint64_t size) {
  const auto room = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - position);
  return size >= room ? std::numeric_limits<int64_t>::max() : position + static_cast<int64_t>(size);
}

class RarWalk {
 public:
  RarWalk(int fd, int64_t length, std::u16string& names, int64_t& archiveEnd, int64_t& walkEnd,
          std::vector<RarStoredEntry>& stored, bool& headersEncrypted)
      : fd_(fd), length_(length), names_(names), archiveEnd_(archiveEnd), walkEnd_(walkEnd), stored_(stored),
        headersEncrypted_(headersEncrypted) {}

  void WalkGeneration4();
  void WalkGeneration5();

 private:
  // Reads exactly `count` bytes at `position`, all of them inside the file.
  bool ReadInside(int64_t position, size_t count, std::vector<uint8_t>& into) const;
  void AddName(std::u16string name);

  int64_t GenericStep4(int64_t position, const uint8_t* head);
  int64_t FileStep4(int64_t position);
  int64_t CheckedStep5(int64_t position, bool addData, bool readFileFields);

  int fd_;
  int64_t length_;
  std::u16string& names_;
  int64_t& archiveEnd_;
  int64_t& walkEnd_;
  std::vector<RarStoredEntry>& stored_;
  bool& headersEncrypted_;
};

bool RarWalk::ReadInside(int64_t position, size_t count, std::vector<uint8_t>& into) const {
  if (position < 0 || position > length_ || count > static_cast<uint64_t>(length_ - position)) return false;
  into.resize(count);
  return ReadAt(fd_, into.data(), count, position) == static_cast<int64_t>(count);
}

void RarWalk::AddName(std::u16string name) {
  if (names_.size() < kNameGatheringLimit) names_ += name;
}

void RarWalk::WalkGeneration4() {
  std::vector<uint8_t> head;
  int64_t position = 0;
  while ((walkEnd_ = position, ReadInside(position, 7, head))) {
    int64_t next = kStepFailed;
    switch (head[2]) {
      case kMarkerBlock:
        // Only the signature itself; a marker anywhere else ends the walk.
        if (position == 0 && std::memcmp(head.data(), kSignature4, sizeof kSignature4) == 0) next = 7;
        break;
      case kFileBlock:
        next = FileStep4(position);
        break;
      case kEndBlock:
        next = GenericStep4(position, head.data());
        if (next != kStepFailed) archiveEnd_ = next;
        return;
      case kMainBlock:
        next = GenericStep4(position, head.data());
        // With a password on the headers, every block after this one is encrypted.
        if (next != kStepFailed && (LoadU16(head.data() + 3) & kFlagHeadersEncrypted4) != 0) {
          headersEncrypted_ = true;
          walkEnd_ = next;
          return;
        }
        break;
      default:
        next = GenericStep4(position, head.data());
        break;
    }
    if (next > position) walkEnd_ = next;
    if (next <= position || next >= length_) return;
    position = next;
  }
}

int64_t RarWalk::GenericStep4(int64_t position, const uint8_t* head) {
  const uint8_t type = head[2];
  const uint16_t flags = LoadU16(head + 3);
  const uint16_t size = LoadU16(head + 5);
  if (type < kMarkerBlock || type > kEndBlock || size <= 6) return kStepFailed;
  std::vector<uint8_t> body;
  if (!ReadInside(position + 2, size - 2u, body)) return kStepFailed;
  if ((Crc32(body) & 0xFFFF) != LoadU16(head)) return kStepFailed;
  uint64_t added = 0;
  if (flags & kFlagAddSize) {
    std::vector<uint8_t> addSize;
    if (!ReadInside(position + 7, 4, addSize)) return kStepFailed;
    added = LoadU32(addSize.data());
  }
  return Advance(position, size + added);
}

int64_t RarWalk::FileStep4(int64_t position) {
  std::vector<uint8_t> head;
  if (!ReadInside(position, 32, head) || head[2] != kFileBlock) return kStepFailed;
  const uint16_t size = LoadU16(head.data() + 5);
  if (size < 32 || !ReadInside(position, size, head)) return kStepFailed;
  if ((Crc32(std::span(head).subspan(2)) & 0xFFFF) != LoadU16(head.data())) return kStepFailed;

  const uint16_t flags = LoadU16(head.data() + 3);
  uint64_t packedSize = LoadU32(head.data() + 7);
  // Entries of 4 GiB and more carry the high halves of both sizes in front of the name.
  size_t nameAt = 32;
  if ((flags & kFlagLargeFile) && size >= 40) {
    packedSize |= static_cast<uint64_t>(LoadU32(head.data() + 32)) << 32;
    nameAt = 40;
  }
  const uint64_t unpackedSize = LoadU32(head.data() + 11) | (nameAt == 40 ? uint64_t{LoadU32(head.data() + 36)} << 32 : 0);
  if (head[25] == kMethodStore4 && (flags & kFlagsSplitOrEncrypted) == 0 &&
      (flags & kDirectoryFlags) != kDirectoryFlags && packedSize == unpackedSize)
    stored_.push_back({Advance(position, size), packedSize, LoadU32(head.data() + 16)});
  const bool madeOnUnix = head[15] == kHostUnix4;
  if (IsPlainFile(LoadU32(head.data() + 28), madeOnUnix)) {
    // The stored name size bounds the name: salt and extended times may follow it in the header.
    const size_t nameSize = std::min<size_t>(LoadU16(head.data() + 26), size - nameAt);
    const auto name = UpToNul(std::span(head).subspan(nameAt, nameSize));
    if (!name.empty())
      AddName(AnsiToText(std::string_view(reinterpret_cast<const char*>(name.data()), name.size())));
  }
  return Advance(position, size + packedSize);
}

void RarWalk::WalkGeneration5() {
  std::vector<uint8_t> prefix;
  int64_t position = 0;
  while ((walkEnd_ = position) < length_) {
    // CRC32 and three vints of at most 8 bytes each; fewer when the file ends first.
    const size_t want = static_cast<size_t>(std::min<int64_t>(4 + 3 * 8, length_ - position));
    if (!ReadInside(position, want, prefix) || prefix.size() < 4) return;
    size_t at = 4;
    uint64_t headerSize = 0, type = 0, flags = 0;
    if (!ReadVint(prefix, at, headerSize) || !ReadVint(prefix, at, type) || !ReadVint(prefix, at, flags)) return;

    int64_t next = kStepFailed;
    switch (type) {
      case kSignatureAsHeader5:
        if (position == 0 && prefix.size() >= 8 && std::memcmp(prefix.data(), kSignature5, 8) == 0) next = 8;
        break;
      case kMainHeader5:
        next = CheckedStep5(position, false, false);
        break;
      case kFileHeader5:
        next = CheckedStep5(position, true, true);
        break;
      case kEndHeader5:
        next = CheckedStep5(position, true, false);
        if (next != kStepFailed) archiveEnd_ = next;
        return;
      case kEncryptionHeader5:
        // Every header after this one is encrypted.
        next = CheckedStep5(position, false, false);
        if (next != kStepFailed) {
          headersEncrypted_ = true;
          walkEnd_ = next;
          return;
        }
        break;
      default:
        next = CheckedStep5(position, true, false);
        break;
    }
    if (next > position) walkEnd_ = next;
    if (next <= position || next >= length_) return;
    position = next;
  }
}

int64_t RarWalk::CheckedStep5(int64_t position, bool addData, bool readFileFields) {
  std::vector<uint8_t> header;
  if (!ReadInside(position, std::min<int64_t>(4 + 8, length_ - position), header) || header.size() < 5)
    return kStepFailed;
  const uint32_t storedCrc = LoadU32(header.data());
  size_t at = 4;
  uint64_t size = 0;
  if (!ReadVint(header, at, size) || size > kMaxHeaderSize5) return kStepFailed;
  const size_t sizeBytes = at - 4;
  if (!ReadInside(position + 4, sizeBytes + size, header)) return kStepFailed;
  if (Crc32(header) != storedCrc) return kStepFailed;

  at = sizeBytes;
  uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
  if (!ReadVint(header, at, type) || !ReadVint(header, at, flags)) return kStepFailed;
  if ((flags & 0x01) && !ReadVint(header, at, extraSize)) return kStepFailed;
  if ((flags & 0x02) && !ReadVint(header, at, dataSize)) return kStepFailed;
  const int64_t next = Advance(position, 4 + sizeBytes + size + (addData && (flags & 0x02) ? dataSize : 0));

  if (readFileFields) {
    uint64_t fileFlags = 0, unpackedSize = 0, attributes = 0, compression = 0, hostOs = 0, nameLength = 0;
    if (!ReadVint(header, at, fileFlags) || !ReadVint(header, at, unpackedSize) ||
        !ReadVint(header, at, attributes))
      return next;
    if (fileFlags & 0x02) at += 4;  // modification time
    uint32_t dataCrc = 0;
    if ((fileFlags & 0x04) && at + 4 <= header.size()) dataCrc = LoadU32(header.data() + at);
    if (fileFlags & 0x04) at += 4;  // data CRC32
    if (!ReadVint(header, at, compression) || !ReadVint(header, at, hostOs) || !ReadVint(header, at, nameLength))
      return next;
    const bool stored = ((compression >> 7) & 7) == 0 && (fileFlags & 0x05) == 0x04 && (flags & 0x18) == 0;
    if (stored && !HasEncryptionRecord(std::span(header).last(std::min<size_t>(extraSize, header.size()))))
      stored_.push_back({Advance(position, 4 + sizeBytes + size), dataSize, dataCrc});
    if (IsPlainFile(attributes, hostOs == kHostUnix5) && at <= header.size() && nameLength <= header.size() - at) {
      const auto name = UpToNul(std::span(header).subspan(at, static_cast<size_t>(nameLength)));
      if (!name.empty())
        AddName(Utf8ToText(std::string_view(reinterpret_cast<const char*>(name.data()), name.size())));
    }
  }
  return next;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
  const auto& table = CrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

int RarNameReader::ReadRarNames(const std::filesystem::path& path) {
  UniqueFd fd = OpenShared(path);
  if (!fd) {
    names_.clear();
    fileLength_ = archiveEnd_ = walkEnd_ = 0;
    headersEncrypted_ = false;
    stored_.clear();
    return kCannotOpen;
  }
  return ReadRarHeaders(fd.get(), FileSize(fd.get()));
}

int RarNameReader::ReadRarHeaders(int fd, int64_t length) {
  names_.clear();
  stored_.clear();
  fileLength_ = length;
  archiveEnd_ = walkEnd_ = 0;
  headersEncrypted_ = false;
  if (fileLength_ <= 20) return kNotRar;
  uint8_t signature[8];
  if (ReadAt(fd, signature, sizeof signature, 0) != sizeof signature ||
      std::memcmp(signature, kSignature4, 6) != 0)
    return kNotRar;

  RarWalk walk(fd, fileLength_, names_, archiveEnd_, walkEnd_, stored_, headersEncrypted_);
  if (signature[6] == 0x01)
    walk.WalkGeneration5();
  else if (signature[6] == 0x00)
    walk.WalkGeneration4();
  else
    return kNotRar;
  CleanEntryName(names_);
  return kWalked;
}

}  // namespace brenvik
