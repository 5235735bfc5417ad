#pragma once
// Little-endian integers and UTF-16LE texts, as every file format this program reads and writes
// stores them. Callers bound the bytes before they load: these helpers read exactly their width.
#include <cstdint>
#include <string>
#include <string_view>

namespace brenvik {

inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) { return uint64_t{LoadU32(p)} | (uint64_t{LoadU32(p + 4)} << 32); }

inline void StoreU16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t value) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(value >> (8 * k));
}
inline void StoreU64(uint8_t* p, uint64_t value) {
  for (int k = 0; k < 8; ++k) p[k] = static_cast<uint8_t>(value >> (8 * k));
}

// Appends `text` as UTF-16LE bytes.
inline void AppendUtf16Le(std::string& out, std::u16string_view text) {
  const size_t at = out.size();
  out.resize(at + text.size() * 2);
  auto* bytes = reinterpret_cast<uint8_t*>(out.data() + at);
  for (size_t i = 0; i < text.size(); ++i) StoreU16(bytes + 2 * i, text[i]);
}

// The UTF-16LE text of `bytes`; an odd last byte is left out.
inline std::u16string Utf16LeText(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(LoadU16(data + 2 * i));
  return text;
}

}  // namespace brenvik
