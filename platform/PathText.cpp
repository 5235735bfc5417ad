#include "platform/PathText.h"

namespace brenvik {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // lone low surrogate U+DC80..U+DCFF carries one raw byte

// Length of the valid UTF-8 sequence starting at bytes[i] and its code point, or 0 when invalid.
size_t DecodeUtf8(std::string_view bytes, size_t i, char32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = b(i);
  size_t len;
  char32_t min;
  if (lead < 0x80) { cp = lead; return 1; }
  if (lead >= 0xC2 && lead <= 0xDF) { len = 2; cp = lead & 0x1F; min = 0x80; }
  else if (lead >= 0xE0 && lead <= 0xEF) { len = 3; cp = lead & 0x0F; min = 0x800; }
  else if (lead >= 0xF0 && lead <= 0xF4) { len = 4; cp = lead & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > bytes.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// The length of the ill-formed sequence at bytes[i] (where DecodeUtf8 failed): a lead byte and
// the continuation bytes that could still have completed it, or the one byte.
size_t IllFormedLength(std::string_view bytes, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = b(i);
  const size_t len = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 1;
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= bytes.size()) return k;
    unsigned char low = 0x80, high = 0xBF;
    if (k == 1) {
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;  // no surrogates
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    }
    if (b(i + k) < low || b(i + k) > high) return k;
  }
  return 1;
}

// Decodes UTF-8 into UTF-16; each ill-formed place is handed to `invalid(out, at)`, which
// appends what stands for it and says how many bytes it takes.
template <class OnInvalid>
std::u16string DecodeUtf8Text(std::string_view bytes, OnInvalid invalid) {
  // Most names are ASCII: every byte is its own character.
  if (IsAscii(bytes)) return std::u16string(bytes.begin(), bytes.end());
  std::u16string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const size_t len = DecodeUtf8(bytes, i, cp);
    if (len == 0) {
      i += invalid(out, i);
    } else if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      i += len;
    } else {
      out += static_cast<char16_t>(cp);
      i += len;
    }
  }
  return out;
}

}  // namespace

std::u16string Utf8ToTextReplacing(std::string_view bytes) {
  return DecodeUtf8Text(bytes, [bytes](std::u16string& out, size_t at) {
    out += u'\uFFFD';
    return IllFormedLength(bytes, at);
  });
}

size_t WellFormedUtf8Length(std::string_view bytes) {
  size_t i = 0;
  for (char32_t cp = 0; i < bytes.size();) {
    const size_t len = DecodeUtf8(bytes, i, cp);
    if (len == 0) break;
    i += len;
  }
  return i;
}

std::string_view WithoutCutUtf8End(std::string_view bytes) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  // A character takes at most 4 bytes, so a cut one starts among the last 3.
  for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const size_t at = bytes.size() - back;
    if ((b(at) & 0xC0) == 0x80) continue;  // a continuation byte: its lead lies further back
    const size_t announced = b(at) >= 0xF0 && b(at) <= 0xF4 ? 4 : b(at) >= 0xE0 && b(at) <= 0xEF ? 3
                             : b(at) >= 0xC2 && b(at) <= 0xDF ? 2 : 1;
    return announced > back ? bytes.substr(0, at) : bytes;
  }
  return bytes;
}

// Looks at every byte without an early exit, so the compiler can test many at once.
bool IsAscii(std::string_view bytes) {
  unsigned char seen = 0;
  for (const char c : bytes) seen |= static_cast<unsigned char>(c);
  return (seen & 0x80) == 0;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::u16string BytesToText(std::string_view bytes) {
  return DecodeUtf8Text(bytes, [bytes](std::u16string& out, size_t at) {
    out += static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[at]));
    return size_t{1};
  });
}

std::string TextToBytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out += static_cast<char>(u - kEscapeBase);  // a raw byte carried through from a name
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);  // any other lone surrogate has no byte form
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace brenvik
