#include "readers/NameText.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/CodePage.h"
#include "platform/ByteOrder.h"

namespace brenvik {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// Gregorian date of a day count since 1970-01-01 (the era-based conversion, exact for any count).
CivilDate DateFromDays(int64_t days) {
  days += 719'468;
  const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

bool IsNameForbidden(char16_t c) {
  switch (c) {
    case u'/': case u'*': case u'?': case u'\uFF1F': case u'<': case u'>': case u'"': case u'|':
    case u'\\': case u':': case u'\uFF1A': case u',': case u'\uFF0C': case u' ': case u'\u3002':
    case u'\r': case u'\n':
      return true;
    default:
      return false;
  }
}

bool IsEntryNameSeparator(char16_t c) {
  switch (c) {
    case u'/': case u'*': case u'?': case u'<': case u'>': case u'"': case u'|': case u'\\': case u':':
      return true;
    default:
      return false;
  }
}

bool IsEntryNameDropped(char16_t c) {
  switch (c) {
    case u'\uFF1A': case u',': case u'\uFF0C': case u' ': case u'\u3002': case u'\r': case u'\n':
      return true;
    default:
      return false;
  }
}

// "YYYY-MM-DD hh-mm-ss" of a count of seconds since 1970-01-01 00:00 on the clock shown.
std::u16string ClockText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
  const int64_t timeOfDay = seconds - days * kSecondsPerDay;
  const CivilDate date = DateFromDays(days);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d-%02d-%02d", static_cast<long long>(date.year), date.month,
                date.day, static_cast<int>(timeOfDay / 3600), static_cast<int>(timeOfDay / 60 % 60),
                static_cast<int>(timeOfDay % 60));
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace

std::u16string TimestampText(int64_t fileTime) {
  const int64_t utcSeconds = std::max<int64_t>(fileTime, 0) / kTicksPerSecond - kSecondsFrom1601To1970;
  // The machine's zone (TZ) decides the offset at that moment, summer time included.
  const auto unixSeconds = static_cast<std::time_t>(utcSeconds);
  std::tm local{};
  return ClockText(localtime_r(&unixSeconds, &local) != nullptr ? utcSeconds + local.tm_gmtoff : utcSeconds);
}

std::u16string WallClockText(int64_t fileTime) {
  return ClockText(std::max<int64_t>(fileTime, 0) / kTicksPerSecond - kSecondsFrom1601To1970);
}

void Keep8BitRunBytes(std::span<const uint8_t> bytes, std::string& kept) {
  for (uint8_t b : bytes)
    if (b >= 0x20 && b != 0x7F) kept += static_cast<char>(b);
}

std::u16string Decode8BitRun(std::span<const uint8_t> bytes) {
  std::string kept;
  kept.reserve(bytes.size());
  Keep8BitRunBytes(bytes, kept);
  if (kept.empty()) return {};
  return AnsiToText(kept);
}

std::u16string Decode8BitRun(std::span<const uint8_t> bytes, int declaredCodePage) {
  std::string kept;
  kept.reserve(bytes.size());
  Keep8BitRunBytes(bytes, kept);
  if (kept.empty()) return {};
  if (declaredCodePage != 0) {
    if (std::optional<std::u16string> text = DeclaredCodePageToText(kept, declaredCodePage)) return std::move(*text);
  }
  return AnsiToText(kept);
}

std::u16string DecodeLatin1Run(std::span<const uint8_t> bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (uint8_t b : bytes)
    if (b >= 0x20 && b != 0x7F) text += static_cast<char16_t>(b);
  return text;
}

std::u16string Decode16BitRun(std::span<const uint8_t> bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(LoadU16(&bytes[i]));
    // Control characters go; every other character stays, those whose low byte is zero too
    // (一 U+4E00, 销 U+9500).
    if (unit >= 0x20 && unit != 0x7F) text += unit;
  }
  return text;
}

void CleanName(std::u16string& text) {
  std::erase_if(text, IsNameForbidden);
}

void CleanEntryName(std::u16string& text) {
  std::erase_if(text, IsEntryNameDropped);
  for (char16_t& c : text)
    if (IsEntryNameSeparator(c)) c = u'#';
}

std::u16string CutToLimit(std::u16string text, int64_t limit) {
  if (limit < 1) return {};
  if (text.size() <= static_cast<uint64_t>(limit)) return text;
  size_t cut = static_cast<size_t>(limit);
  if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF && text[cut] >= 0xDC00 && text[cut] <= 0xDFFF) --cut;
  text.resize(cut);
  return text;
}

}  // namespace brenvik
