#include "platform/CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/ByteOrder.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

struct LanguageCodePage {
  std::string_view prefix;  // language, or language_TERRITORY when the territory decides
  int codePage;
};

// Longest matching prefix wins, so zh_TW is checked before zh.
constexpr std::array kLanguageTable{
    LanguageCodePage{"zh_TW", 950}, LanguageCodePage{"zh_HK", 950}, LanguageCodePage{"zh_MO", 950},
    LanguageCodePage{"zh", 936},    LanguageCodePage{"ja", 932},    LanguageCodePage{"ko", 949},
    LanguageCodePage{"ru", 1251},   LanguageCodePage{"uk", 1251},   LanguageCodePage{"be", 1251},
    LanguageCodePage{"bg", 1251},   LanguageCodePage{"sr", 1251},   LanguageCodePage{"mk", 1251},
    LanguageCodePage{"kk", 1251},   LanguageCodePage{"ky", 1251},   LanguageCodePage{"tg", 1251},
    LanguageCodePage{"mn", 1251},   LanguageCodePage{"tt", 1251},   LanguageCodePage{"ba", 1251},
    LanguageCodePage{"el", 1253},   LanguageCodePage{"tr", 1254},   LanguageCodePage{"az", 1254},
    LanguageCodePage{"uz", 1254},   LanguageCodePage{"he", 1255},   LanguageCodePage{"iw", 1255},
    LanguageCodePage{"yi", 1255},   LanguageCodePage{"ar", 1256},   LanguageCodePage{"fa", 1256},
    LanguageCodePage{"ur", 1256},   LanguageCodePage{"lt", 1257},   LanguageCodePage{"lv", 1257},
    LanguageCodePage{"et", 1257},   LanguageCodePage{"vi", 1258},   LanguageCodePage{"th", 874},
    LanguageCodePage{"pl", 1250},   LanguageCodePage{"cs", 1250},   LanguageCodePage{"sk", 1250},
    LanguageCodePage{"hu", 1250},   LanguageCodePage{"sl", 1250},   LanguageCodePage{"hr", 1250},
    LanguageCodePage{"ro", 1250},   LanguageCodePage{"bs", 1250},   LanguageCodePage{"sq", 1250},
};

const char* IconvName(int codePage) {
  switch (codePage) {
    case 936: return "CP936";
    case 950: return "CP950";
    case 932: return "CP932";
    case 949: return "CP949";
    case 874: return "CP874";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 65001: return "UTF-8";
    default: return "CP1252";
  }
}

// Runs iconv over the whole input; on an invalid or unmappable sequence, emits the fallback
// (already encoded in the target set) and skips `skip` input bytes.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view fallback, size_t skip) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      const size_t used = static_cast<size_t>(outPtr - out.data());
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL: replace the offending unit and go on.
    if (outLeft < fallback.size() + 8) {
      const size_t used = static_cast<size_t>(outPtr - out.data());
      out.resize(out.size() * 2 + fallback.size());
      outPtr = out.data() + used;
      outLeft = out.size() - used;
    }
    for (char c : fallback) { *outPtr++ = c; --outLeft; }
    const size_t n = std::min(skip, inLeft);
    inPtr += n;
    inLeft -= n;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(outPtr - out.data()));
  iconv_close(cd);
  return out;
}

}  // namespace

int CodePageForLocale(std::string_view localeName) {
  const size_t cut = localeName.find_first_of(".@");
  const std::string_view name = localeName.substr(0, cut);
  int best = 1252;
  size_t bestLength = 0;
  for (const auto& entry : kLanguageTable) {
    if (entry.prefix.size() <= bestLength || name.substr(0, entry.prefix.size()) != entry.prefix) continue;
    // a bare language prefix must end at the language boundary ("ar" must not match "arn")
    if (name.size() > entry.prefix.size() && name[entry.prefix.size()] != '_') continue;
    best = entry.codePage;
    bestLength = entry.prefix.size();
  }
  if (name == "zh_SG") best = 936;
  return best;
}

int AnsiCodePage() {
  static const int codePage = [] {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(variable);
      if (value != nullptr && *value != '\0') return CodePageForLocale(value);
    }
    return 1252;
  }();
  return codePage;
}

std::u16string CodePageToText(std::string_view bytes, int codePage) {
  static const std::string replacement("\xFD\xFF", 2);  // U+FFFD in UTF-16LE
  const std::string utf16 = Convert("UTF-16LE", IconvName(codePage), bytes, replacement, 1);
  return Utf16LeText(utf16);
}

std::u16string AnsiToText(std::string_view bytes, int codePage) {
  if (WellFormedUtf8Length(bytes) == bytes.size()) return Utf8ToText(bytes);
  return CodePageToText(bytes, codePage);
}

std::u16string AnsiHeadToText(std::string_view head, int codePage) {
  const std::string_view whole = WithoutCutUtf8End(head);
  if (WellFormedUtf8Length(whole) == whole.size()) return Utf8ToText(whole);
  return CodePageToText(head, codePage);
}

std::optional<std::u16string> DeclaredCodePageToText(std::string_view bytes, int codePage) {
  std::string name;
  switch (codePage) {
    case 1200: case 1201: return std::nullopt;  // UTF-16: no 8-bit text is in it
    case 367: case 20127: name = "ASCII"; break;
    case 10000: case 32768: name = "MACINTOSH"; break;  // the old spreadsheet formats' Mac number
    case 32769: name = "CP1252"; break;
    case 65001: name = "UTF-8"; break;
    default:
      if (codePage <= 0 || codePage > 65535) return std::nullopt;
      name = "CP" + std::to_string(codePage);
      break;
  }
  iconv_t probe = iconv_open("UTF-16LE", name.c_str());
  if (probe == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  iconv_close(probe);
  static const std::string replacement("\xFD\xFF", 2);  // U+FFFD in UTF-16LE
  return Utf16LeText(Convert("UTF-16LE", name.c_str(), bytes, replacement, 1));
}

std::string TextToCodePage(std::u16string_view text, int codePage) {
  std::string utf16;
  AppendUtf16Le(utf16, text);
  return Convert(IconvName(codePage), "UTF-16LE", utf16, "?", 2);
}

}  // namespace brenvik
