#pragma once
// What the PDF check reads of the format's own syntax: a cursor over a window's bytes, and the
// entries of a dictionary's text, matched as whole names at the dictionary's own level ("/Length"
// is neither "/Length1" nor a key of a dictionary inside it).
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace brenvik::damage {

inline bool IsSpace(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }
inline bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// A cursor over bytes the window handed out.
struct Cursor {
  const uint8_t* at = nullptr;
  const uint8_t* end = nullptr;

  void SkipSpace() {
    while (at < end) {
      if (IsSpace(*at)) {
        ++at;
      } else if (*at == '%') {  // a comment runs to the end of its line
        while (at < end && *at != '\n' && *at != '\r') ++at;
      } else {
        break;
      }
    }
  }
  bool Word(std::string_view word) {
    if (static_cast<size_t>(end - at) < word.size() || std::memcmp(at, word.data(), word.size()) != 0) return false;
    at += word.size();
    return true;
  }
  std::optional<int64_t> Number() {
    if (at >= end || !IsDigit(*at)) return std::nullopt;
    int64_t value = 0;
    while (at < end && IsDigit(*at)) {
      if (value > (INT64_MAX - 9) / 10) return std::nullopt;
      value = value * 10 + (*at++ - '0');
    }
    return value;
  }
  size_t Left() const { return static_cast<size_t>(end - at); }
};

// The value of `key` among a dictionary's own entries, as text; nothing when the key is absent.
std::optional<std::string_view> ValueOf(std::string_view dictionary, std::string_view key);
// A whole non-negative number written as `token`.
std::optional<int64_t> IntegerOf(std::string_view token);
// The value of `key` when it is a non-negative whole number (not a reference to one).
std::optional<int64_t> NumberValue(std::string_view dictionary, std::string_view key);
// The object number of a reference value "12 0 R".
std::optional<int64_t> ReferenceOf(std::string_view value);
// The numbers of an array value "[1 2 1]"; empty when the value is no such array.
std::vector<int64_t> NumbersOf(std::optional<std::string_view> value);
// True when the stream's data is compressed by deflate alone: "/Filter /FlateDecode", or an
// array of that one filter.
bool FlateOnly(std::string_view dictionary);

}  // namespace brenvik::damage
