#pragma once
// Zip local headers built byte by byte, for the cases an archiver would not write on request:
// entries whose sizes sit in a trailing data descriptor, over-long names, damaged offsets.
#include <cstdint>
#include <string>
#include <string_view>

namespace brenvik::testing {

struct LocalZipEntry {
  std::string name;
  std::string data;
  bool dataDescriptor = false;  // sizes zero in the local header, given after the data
};

inline void AppendLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// One stored entry: local header, name, data and, when asked, the data descriptor.
inline std::string LocalEntry(const LocalZipEntry& entry) {
  std::string out("PK\x03\x04", 4);
  AppendLe(out, 20, 2);                                   // version needed
  AppendLe(out, entry.dataDescriptor ? 0x0008 : 0, 2);    // flags
  AppendLe(out, 0, 2);                                    // stored
  AppendLe(out, 0, 4);                                    // time, date
  AppendLe(out, 0, 4);                                    // CRC (not checked by the probe)
  const uint32_t size = entry.dataDescriptor ? 0 : static_cast<uint32_t>(entry.data.size());
  AppendLe(out, size, 4);
  AppendLe(out, size, 4);
  AppendLe(out, static_cast<uint32_t>(entry.name.size()), 2);
  AppendLe(out, 0, 2);                                    // extra length
  out += entry.name;
  out += entry.data;
  if (entry.dataDescriptor) {
    out += std::string("PK\x07\x08", 4);
    AppendLe(out, 0, 4);
    AppendLe(out, static_cast<uint32_t>(entry.data.size()), 4);
    AppendLe(out, static_cast<uint32_t>(entry.data.size()), 4);
  }
  return out;
}

// Entries back to back, then enough trailing bytes (as a central directory would give) that the
// last local header is followed by at least 256 bytes.
inline std::string ZipOf(std::initializer_list<LocalZipEntry> entries) {
  std::string out;
  for (const auto& entry : entries) out += LocalEntry(entry);
  out += std::string("PK\x01\x02", 4) + std::string(300, '\0');
  return out;
}

}  // namespace brenvik::testing
