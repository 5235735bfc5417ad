#include "core/TextHelpers.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace brenvik {

std::u16string Utf16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

int64_t ParseLeadingInteger(std::u16string_view text) {
  const auto isBlank = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const int digit = text[i] - u'0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::u16string FormatSizeText(int64_t bytes) {
  if (bytes < 1) return u"0 Bytes";
  static constexpr std::array<const char*, 7> kUnits{"Bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
  long double value = static_cast<long double>(bytes);
  size_t unit = 0;
  while (value >= 1024.0L && unit + 1 < kUnits.size()) {
    value /= 1024.0L;
    ++unit;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1Lf %s", value, kUnits[unit]);
  return Utf16(buffer);
}

std::u16string FormatTimeStamp(int64_t secondsSinceEpoch) {
  const std::time_t seconds = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm local {};
  if (::localtime_r(&seconds, &local) == nullptr) return {};
  char buffer[128];
  const size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H-%M-%S", &local);
  return Utf16(std::string_view(buffer, length));
}

std::u16string MakeTimeStampName() { return FormatTimeStamp(static_cast<int64_t>(std::time(nullptr))); }

std::filesystem::path JoinPath(const std::filesystem::path& folder, const std::filesystem::path& name) {
  std::string joined = folder.native();
  if (joined.empty() || joined.back() != '/') joined += '/';
  std::string_view leaf = name.native();
  while (!leaf.empty() && leaf.front() == '/') leaf.remove_prefix(1);
  joined += leaf;
  return joined;
}

std::u16string StripTrailingSeparator(std::u16string path) {
  if (path.size() > 1 && path.back() == u'/') path.pop_back();
  return path;
}

}  // namespace brenvik
