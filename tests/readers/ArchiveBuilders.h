#pragma once
// Builds RAR block headers (both generations, with correct CRCs) and zip archives for the tests.
#include <minizip/zip.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "readers/RarReader.h"

namespace brenvik::testing {

inline std::string Le16Bytes(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
inline std::string Le32Bytes(uint32_t v) { return Le16Bytes(static_cast<uint16_t>(v)) + Le16Bytes(static_cast<uint16_t>(v >> 16)); }
inline uint32_t CrcOf(const std::string& bytes) {
  return Crc32(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// ---- RAR 1.5-4.x ----
inline const std::string kRar4Signature("Rar!\x1A\x07\x00", 7);

// A block: CRC, type, flags, size, then `fields` (everything from offset 7 on).
inline std::string Rar4Block(uint8_t type, uint16_t flags, const std::string& fields) {
  std::string body = std::string(1, static_cast<char>(type)) + Le16Bytes(flags) +
                     Le16Bytes(static_cast<uint16_t>(7 + fields.size())) + fields;
  return Le16Bytes(static_cast<uint16_t>(CrcOf(body) & 0xFFFF)) + body;
}

inline std::string Rar4MainHeader() { return Rar4Block(0x73, 0, std::string(6, '\0')); }
inline std::string Rar4EndBlock() { return Rar4Block(0x7B, 0x4000, ""); }

struct Rar4Entry {
  Rar4Entry(std::string n, uint32_t a = 0x20, uint8_t h = 2, std::string d = "packed", std::string after = {})
      : name(std::move(n)), attributes(a), hostOs(h), data(std::move(d)), afterName(std::move(after)) {}
  std::string name;
  uint32_t attributes;
  uint8_t hostOs;  // 2 Win32, 3 Unix
  std::string data;
  std::string afterName;  // salt or extended times stored behind the name
};

inline std::string Rar4File(const Rar4Entry& e) {
  std::string fields = Le32Bytes(static_cast<uint32_t>(e.data.size())) + Le32Bytes(100) +
                       std::string(1, static_cast<char>(e.hostOs)) + Le32Bytes(0x12345678) + Le32Bytes(0x3C6A5A21) +
                       "\x1D\x30" + Le16Bytes(static_cast<uint16_t>(e.name.size())) + Le32Bytes(e.attributes) +
                       e.name + e.afterName;
  return Rar4Block(0x74, 0x8000, fields) + e.data;
}

inline std::string Rar4Archive(const std::vector<Rar4Entry>& entries, bool withEnd = true) {
  std::string archive = kRar4Signature + Rar4MainHeader();
  for (const auto& e : entries) archive += Rar4File(e);
  if (withEnd) archive += Rar4EndBlock();
  return archive;
}

// ---- RAR 5.0 ----
inline const std::string kRar5Signature("Rar!\x1A\x07\x01\x00", 8);

inline std::string Vint(uint64_t v) {
  std::string out;
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out += static_cast<char>(b);
  } while (v);
  return out;
}

// A header: CRC32, size, type, flags, then `rest` (optional sizes and the type's own fields).
inline std::string Rar5Header(uint64_t type, uint64_t flags, const std::string& rest) {
  const std::string body = Vint(type) + Vint(flags) + rest;
  const std::string sized = Vint(body.size()) + body;
  return Le32Bytes(CrcOf(sized)) + sized;
}

inline std::string Rar5MainHeader() { return Rar5Header(1, 0, Vint(0)); }
inline std::string Rar5EndHeader() { return Rar5Header(5, 0, Vint(0)); }

struct Rar5Entry {
  Rar5Entry(std::string n, uint64_t a = 0x20, uint64_t h = 0, std::string d = "packed")
      : name(std::move(n)), attributes(a), hostOs(h), data(std::move(d)) {}
  std::string name;  // UTF-8
  uint64_t attributes;
  uint64_t hostOs;  // 0 Windows, 1 Unix
  std::string data;
};

inline std::string Rar5File(const Rar5Entry& e) {
  const std::string fields = Vint(e.data.size()) + Vint(0x02 | 0x04) + Vint(100) + Vint(e.attributes) +
                             Le32Bytes(0x5F000000) + Le32Bytes(0xDEADBEEF) + Vint(0) + Vint(e.hostOs) +
                             Vint(e.name.size()) + e.name;
  return Rar5Header(2, 0x02, fields) + e.data;
}

inline std::string Rar5Archive(const std::vector<Rar5Entry>& entries, bool withEnd = true) {
  std::string archive = kRar5Signature + Rar5MainHeader();
  for (const auto& e : entries) archive += Rar5File(e);
  if (withEnd) archive += Rar5EndHeader();
  return archive;
}

// ---- zip ----
struct ZipEntry {
  ZipEntry(std::string n, std::string d, int y = 2012) : name(std::move(n)), data(std::move(d)), year(y) {}
  std::string name;  // raw name bytes
  std::string data;
  int year, month = 3, day = 5, hour = 6, minute = 7, second = 10;  // local time, even seconds
  std::string extraField = {};  // the central directory's extra field
};

inline bool WriteZip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return false;
  for (const auto& e : entries) {
    zip_fileinfo info{};
    info.tmz_date.tm_year = static_cast<uInt>(e.year);
    info.tmz_date.tm_mon = static_cast<uInt>(e.month - 1);
    info.tmz_date.tm_mday = static_cast<uInt>(e.day);
    info.tmz_date.tm_hour = static_cast<uInt>(e.hour);
    info.tmz_date.tm_min = static_cast<uInt>(e.minute);
    info.tmz_date.tm_sec = static_cast<uInt>(e.second);
    if (zipOpenNewFileInZip(zip, e.name.c_str(), &info, nullptr, 0, e.extraField.data(),
                            static_cast<uInt>(e.extraField.size()), nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION) != ZIP_OK)
      return false;
    if (!e.data.empty()) zipWriteInFileInZip(zip, e.data.data(), static_cast<unsigned>(e.data.size()));
    zipCloseFileInZip(zip);
  }
  return zipClose(zip, nullptr) == ZIP_OK;
}

}  // namespace brenvik::testing
