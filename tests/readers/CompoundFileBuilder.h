#pragma once
// Builds version-3 compound files byte by byte for the reader tests: header, FAT, one directory
// chain, mini FAT and mini stream for small streams, regular chains for the others. Tests patch
// the returned bytes to make the damaged cases.
#include <cstdint>
#include <string>
#include <vector>

namespace brenvik::testing {

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kFatSectorMark = 0xFFFFFFFD;

inline void PutU16(std::string& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}
inline void PutU32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
inline uint32_t GetU32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}
// Byte offset of sector n.
inline size_t SectorOffset(uint32_t sector) { return (size_t{sector} + 1) * 512; }
// Byte offset of directory entry `index` when the directory starts at `firstDirectorySector`
// and its sectors follow each other (as the builder lays them out).
inline size_t EntryOffset(uint32_t firstDirectorySector, uint32_t index) {
  return SectorOffset(firstDirectorySector) + size_t{index} * 128;
}

class CompoundFileBuilder {
 public:
  struct Stream {
    std::u16string name;
    std::string data;
    uint8_t type = 2;
  };

  uint32_t cutoff = 4096;

  CompoundFileBuilder& add(std::u16string name, std::string data = {}, uint8_t type = 2) {
    streams_.push_back({std::move(name), std::move(data), type});
    return *this;
  }

  // Set by build(): where things went.
  uint32_t fatSectors = 0;
  uint32_t firstDirectorySector = 0;
  std::vector<uint32_t> startSectors;  // per added stream

  std::string build() {
    const auto ceil = [](size_t n, size_t unit) { return static_cast<uint32_t>((n + unit - 1) / unit); };
    const uint32_t dirSectors = ceil(streams_.size() + 1, 4);
    // mini sectors for small streams
    uint32_t miniSectors = 0;
    std::vector<uint32_t> miniStart(streams_.size(), kEndOfChain);
    for (size_t i = 0; i < streams_.size(); ++i) {
      if (isMini(streams_[i]) && !streams_[i].data.empty()) {
        miniStart[i] = miniSectors;
        miniSectors += ceil(streams_[i].data.size(), 64);
      }
    }
    const uint32_t miniFatSectors = ceil(size_t{miniSectors} * 4, 512);
    const uint32_t miniStreamSectors = ceil(size_t{miniSectors} * 64, 512);
    uint32_t regular = 0;
    for (const auto& s : streams_)
      if (!isMini(s)) regular += ceil(s.data.size(), 512);
    const uint32_t others = dirSectors + miniFatSectors + miniStreamSectors + regular;
    fatSectors = 1;
    while (fatSectors * 128 < others + fatSectors) ++fatSectors;
    const uint32_t total = fatSectors + others;

    std::string file(SectorOffset(total), '\0');
    std::vector<uint32_t> fat(size_t{fatSectors} * 128, kFreeSector);
    uint32_t next = 0;
    const auto chain = [&](uint32_t count) {
      const uint32_t first = next;
      for (uint32_t i = 0; i < count; ++i, ++next) fat[next] = i + 1 == count ? kEndOfChain : next + 1;
      return count == 0 ? kEndOfChain : first;
    };
    for (uint32_t i = 0; i < fatSectors; ++i, ++next) fat[next] = kFatSectorMark;
    firstDirectorySector = chain(dirSectors);
    const uint32_t firstMiniFat = chain(miniFatSectors);
    const uint32_t miniStreamStart = chain(miniStreamSectors);

    // header
    const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    file.replace(0, 8, reinterpret_cast<const char*>(signature), 8);
    PutU16(file, 24, 0x3E);
    PutU16(file, 26, 3);
    PutU16(file, 28, 0xFFFE);
    PutU16(file, 30, 9);
    PutU16(file, 32, 6);
    PutU32(file, 44, fatSectors);
    PutU32(file, 48, firstDirectorySector);
    PutU32(file, 56, cutoff);
    PutU32(file, 60, firstMiniFat);
    PutU32(file, 64, miniFatSectors);
    PutU32(file, 68, kEndOfChain);
    PutU32(file, 72, 0);
    for (uint32_t i = 0; i < 109; ++i) PutU32(file, 76 + 4 * i, i < fatSectors ? i : kFreeSector);

    // directory
    writeEntry(file, 0, u"Root Entry", 5, miniStreamStart, miniSectors * 64);
    startSectors.assign(streams_.size(), kEndOfChain);
    std::string miniStream(size_t{miniStreamSectors} * 512, '\0');
    std::vector<uint32_t> miniFat(size_t{miniFatSectors} * 128, kFreeSector);
    for (size_t i = 0; i < streams_.size(); ++i) {
      const Stream& s = streams_[i];
      if (s.data.empty()) {
        startSectors[i] = kEndOfChain;
      } else if (isMini(s)) {
        startSectors[i] = miniStart[i];
        const uint32_t count = ceil(s.data.size(), 64);
        for (uint32_t k = 0; k < count; ++k)
          miniFat[miniStart[i] + k] = k + 1 == count ? kEndOfChain : miniStart[i] + k + 1;
        miniStream.replace(size_t{miniStart[i]} * 64, s.data.size(), s.data);
      } else {
        startSectors[i] = chain(ceil(s.data.size(), 512));
        writeChain(file, fat, startSectors[i], s.data);
      }
      writeEntry(file, static_cast<uint32_t>(i + 1), s.name, s.type, startSectors[i],
                 static_cast<uint32_t>(s.data.size()));
    }
    writeChain(file, fat, miniStreamStart, miniStream);
    std::string miniFatBytes(miniFat.size() * 4, '\0');
    for (size_t i = 0; i < miniFat.size(); ++i) PutU32(miniFatBytes, 4 * i, miniFat[i]);
    writeChain(file, fat, firstMiniFat, miniFatBytes);
    for (size_t i = 0; i < fat.size(); ++i) PutU32(file, SectorOffset(static_cast<uint32_t>(i / 128)) + 4 * (i % 128), fat[i]);
    return file;
  }

  // A directory entry at `index` of the laid-out directory.
  void writeEntry(std::string& file, uint32_t index, std::u16string_view name, uint8_t type, uint32_t start,
                  uint32_t size) const {
    const size_t at = EntryOffset(firstDirectorySector, index);
    for (size_t i = 0; i < name.size() && i < 31; ++i) PutU16(file, at + 2 * i, name[i]);
    PutU16(file, at + 64, static_cast<uint16_t>((name.size() + 1) * 2));
    file[at + 66] = static_cast<char>(type);
    file[at + 67] = 1;
    PutU32(file, at + 68, kFreeSector);
    PutU32(file, at + 72, kFreeSector);
    PutU32(file, at + 76, kFreeSector);
    PutU32(file, at + 116, start);
    PutU32(file, at + 120, size);
  }

 private:
  bool isMini(const Stream& s) const { return s.data.size() < cutoff; }

  static void writeChain(std::string& file, const std::vector<uint32_t>& fat, uint32_t sector, const std::string& data) {
    for (size_t done = 0; done < data.size() && sector < fat.size(); done += 512, sector = fat[sector])
      file.replace(SectorOffset(sector), std::min<size_t>(512, data.size() - done), data, done,
                   std::min<size_t>(512, data.size() - done));
  }

  std::vector<Stream> streams_;
};

}  // namespace brenvik::testing
