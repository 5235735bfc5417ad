#pragma once
// The running version and the update comparison.
#include <functional>
#include <optional>
#include <string>

namespace brenvik {

inline constexpr int kVersionNumber = 142;  // 1.4.2, digits without points
inline constexpr char16_t kVersionText[] = u"V1.4.2";
inline constexpr char16_t kTitleText[] = u"Brenvik V1.4.2";

// Where the update check asks for the latest version number (same form as 142). None is
// configured by default, so no check is made.
using VersionSource = std::function<std::optional<int>()>;

// The version number as the Update dialog shows it: a point after the first digit
// (142 -> "1.42"); a one-digit number gets the point at its end (7 -> "7.").
std::u16string FormatVersionNumber(int version);

// The latest version when the update check should offer it (greater than the running one).
std::optional<int> NewerVersion(const VersionSource& source);

}  // namespace brenvik
