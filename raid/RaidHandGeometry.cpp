#include "raid/RaidHandGeometry.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace brenvik {

namespace {

// A whole number of at most 18 digits; nullopt for anything else.
std::optional<int64_t> WholeNumber(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<RaidGeometryGuess> ParseRaidGeometry(const RaidGeometryTexts& texts, size_t members, RaidGeometryField& bad) {
  const auto fail = [&bad](RaidGeometryField field) {
    bad = field;
    return std::nullopt;
  };
  bad = RaidGeometryField::None;
  RaidGeometryGuess geometry;
  const std::optional<RaidLayout> layout = LayoutOfKey(texts.layout);
  if (!layout) return fail(RaidGeometryField::Layout);
  geometry.layout = *layout;
  if (!texts.stripe.empty()) {
    std::string digits = texts.stripe;
    int64_t sectorsPerUnit = 2;  // KiB
    const size_t unit = digits.find_first_not_of("0123456789");
    if (unit != std::string::npos) {
      const std::string name = digits.substr(unit);
      if (name == "K" || name == "k" || name == "KiB") sectorsPerUnit = 2;
      else if (name == "M" || name == "m" || name == "MiB") sectorsPerUnit = 2048;
      else if (name == "s") sectorsPerUnit = 1;
      else sectorsPerUnit = 0;
      digits.resize(unit);
    }
    const std::optional<int64_t> count = WholeNumber(digits);
    if (!count || sectorsPerUnit == 0 || *count > (int64_t{1} << 30)) return fail(RaidGeometryField::Stripe);
    geometry.stripeSectors = *count * sectorsPerUnit;
  } else if (geometry.layout != RaidLayout::Mirror && geometry.layout != RaidLayout::Spanned) {
    return fail(RaidGeometryField::Stripe);
  }
  if (!texts.order.empty()) {
    for (size_t from = 0; from <= texts.order.size();) {
      const size_t comma = std::min(texts.order.find(',', from), texts.order.size());
      const std::optional<int64_t> number = WholeNumber(std::string_view(texts.order).substr(from, comma - from));
      if (!number || *number < 1 || static_cast<uint64_t>(*number) > members) return fail(RaidGeometryField::Order);
      geometry.memberOrder.push_back(static_cast<size_t>(*number - 1));
      from = comma + 1;
    }
  } else {
    for (size_t member = 0; member < members; ++member) geometry.memberOrder.push_back(member);
  }
  if (!texts.start.empty()) {
    const std::optional<int64_t> sector = WholeNumber(texts.start);
    if (!sector) return fail(RaidGeometryField::Start);
    geometry.startSector = *sector;
  }
  if (!texts.parityDelay.empty()) {
    const std::optional<int64_t> rows = WholeNumber(texts.parityDelay);
    if (!rows || *rows < 1) return fail(RaidGeometryField::ParityDelay);
    geometry.parityDelay = *rows;
  }
  return geometry;
}

}  // namespace brenvik
