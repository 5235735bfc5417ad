#include "core/Version.h"

#include <string>

namespace brenvik {

std::u16string FormatVersionNumber(int version) {
  const std::string digits = std::to_string(version);
  std::u16string text(digits.begin(), digits.end());
  text.insert(1, u".");
  return text;
}

std::optional<int> NewerVersion(const VersionSource& source) {
  if (!source) return std::nullopt;
  const std::optional<int> latest = source();
  if (!latest || *latest <= kVersionNumber) return std::nullopt;
  return latest;
}

}  // namespace brenvik
