// How a geometry reads: the layout names and keys, the answer as the page and the log show it,
// and as JSON.
#include "raid/RaidGeometry.h"

#include <string>

namespace brenvik {

namespace {

std::string LayoutName(RaidLayout layout) {
  switch (layout) {
    case RaidLayout::Raid0: return "RAID 0";
    case RaidLayout::Raid5LeftAsymmetric: return "RAID 5 left-asymmetric";
    case RaidLayout::Raid5LeftSymmetric: return "RAID 5 left-symmetric";
    case RaidLayout::Raid5RightAsymmetric: return "RAID 5 right-asymmetric";
    case RaidLayout::Raid5RightSymmetric: return "RAID 5 right-symmetric";
    case RaidLayout::Mirror: return "RAID 1 mirror";
    case RaidLayout::Raid10Near2: return "RAID 10 (near 2)";
    case RaidLayout::Spanned: return "JBOD (spanned)";
    case RaidLayout::Raid6LeftSymmetric: return "RAID 6 left-symmetric";
  }
  return {};
}

std::string LayoutKey(RaidLayout layout) {
  switch (layout) {
    case RaidLayout::Raid0: return "raid0";
    case RaidLayout::Raid5LeftAsymmetric: return "raid5-left-asymmetric";
    case RaidLayout::Raid5LeftSymmetric: return "raid5-left-symmetric";
    case RaidLayout::Raid5RightAsymmetric: return "raid5-right-asymmetric";
    case RaidLayout::Raid5RightSymmetric: return "raid5-right-symmetric";
    case RaidLayout::Mirror: return "raid1";
    case RaidLayout::Raid10Near2: return "raid10";
    case RaidLayout::Spanned: return "jbod";
    case RaidLayout::Raid6LeftSymmetric: return "raid6";
  }
  return {};
}

std::string StripeText(int64_t sectors) {
  const int64_t kib = sectors / 2;
  std::string size = kib >= 1024 && kib % 1024 == 0 ? std::to_string(kib / 1024) + " MiB" : std::to_string(kib) + " KiB";
  return size + " (" + std::to_string(sectors) + " sectors)";
}

// Member numbers as the member list shows them, from 1.
std::string MemberList(const std::vector<size_t>& order) {
  std::string text;
  for (size_t member : order) text += (text.empty() ? "" : ", ") + std::to_string(member + 1);
  return text;
}

std::string GuessText(const RaidGeometryGuess& guess) {
  if (guess.layout == RaidLayout::Mirror) return LayoutName(guess.layout) + " of members " + MemberList(guess.memberOrder);
  std::string text = LayoutName(guess.layout) +
                     (guess.layout == RaidLayout::Spanned ? std::string() : ", stripe " + StripeText(guess.stripeSectors)) +
                     ", member order " + MemberList(guess.memberOrder);
  if (guess.parityDelay > 1) text += ", parity delayed " + std::to_string(guess.parityDelay) + " rows";
  if (guess.startSector != 0) text += ", start sector " + std::to_string(guess.startSector);
  return text;
}

std::string Share(uint64_t part, uint64_t whole) {
  return std::to_string(whole == 0 ? 0 : part * 100 / whole) + "%";
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string GuessJson(const RaidGeometryGuess& guess) {
  std::string order;
  for (size_t member : guess.memberOrder) order += (order.empty() ? "" : ",") + std::to_string(member);
  return "{\"layout\":\"" + LayoutKey(guess.layout) + "\",\"stripeSectors\":" + std::to_string(guess.stripeSectors) +
         (guess.parityDelay > 1 ? ",\"parityDelay\":" + std::to_string(guess.parityDelay) : std::string()) +
         ",\"memberOrder\":[" + order + "],\"startSector\":" + std::to_string(guess.startSector) +
         ",\"recordZeroDataSector\":" + std::to_string(guess.recordZeroDataSector) +
         ",\"explained\":" + std::to_string(guess.explained) + "}";
}

}  // namespace

std::optional<RaidLayout> LayoutOfKey(std::string_view key) {
  for (RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                            RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric, RaidLayout::Mirror,
                            RaidLayout::Raid10Near2, RaidLayout::Spanned, RaidLayout::Raid6LeftSymmetric})
    if (LayoutKey(layout) == key) return layout;
  return std::nullopt;
}

std::u16string FormatGeometryText(const RaidGeometry& geometry) {
  const std::string records = std::to_string(geometry.records);
  std::string text;
  switch (geometry.verdict) {
    case RaidGeometry::Verdict::NothingToSay:
      return {};
    case RaidGeometry::Verdict::NotEnoughRecords:
      text = "Geometry: not enough records (" + records + " found)";
      break;
    case RaidGeometry::Verdict::Unexplained:
      if (!geometry.best) {
        text = "Geometry: no layout explains most of the " + records + " records";
      } else {
        text = "Geometry: uncertain; the best, " + GuessText(*geometry.best) + ", explains " +
               std::to_string(geometry.best->explained) + " of " + records + " records (" +
               Share(geometry.best->explained, geometry.records) + ")";
      }
      break;
    case RaidGeometry::Verdict::Decided:
      if (geometry.fromParityPlaces) {
        text = "Geometry: " + GuessText(*geometry.best) + "\nFrom the members' parity: " +
               std::to_string(geometry.best->explained) + " stripe rows keep their parity where it says";
        break;
      }
      text = "Geometry: " + GuessText(*geometry.best);
      // A spanned set is placed by the blocks that name their place, with or without records.
      if (geometry.best->layout != RaidLayout::Spanned || geometry.records > 0)
        text += "\nExplains " + std::to_string(geometry.best->explained) + " of " + records + " records (" +
                Share(geometry.best->explained, geometry.records) + ")";
      break;
  }
  if (geometry.best && geometry.nextBest)
    text += "; next best: " + GuessText(*geometry.nextBest) + " (explains " + std::to_string(geometry.nextBest->explained) + ")";
  if (geometry.otherParityStart >= 0) {
    const std::string sector = std::to_string(geometry.otherParityStart);
    const std::string parity = geometry.otherParityStart % 2 != 0 ? "odd" : "even";
    text += geometry.fromOtherParity
                ? "\nThese records lie at " + parity + " sectors, between the positions logged; start at sector " + sector +
                      " to log them"
                : "\nMore records lie at " + parity + " sectors, between the positions logged; start at sector " + sector +
                      " to read them";
  }
  return Widen(text);
}

std::string FormatGeometryJson(const RaidGeometry& geometry) {
  const char* verdict = "nothingToSay";
  switch (geometry.verdict) {
    case RaidGeometry::Verdict::NothingToSay: break;
    case RaidGeometry::Verdict::NotEnoughRecords: verdict = "notEnoughRecords"; break;
    case RaidGeometry::Verdict::Unexplained: verdict = "unexplained"; break;
    case RaidGeometry::Verdict::Decided: verdict = "decided"; break;
  }
  return std::string("{\"verdict\":\"") + verdict + "\",\"records\":" + std::to_string(geometry.records) +
         ",\"best\":" + (geometry.best ? GuessJson(*geometry.best) : "null") +
         ",\"nextBest\":" + (geometry.nextBest ? GuessJson(*geometry.nextBest) : "null") +
         ",\"fromOtherParity\":" + (geometry.fromOtherParity ? "true" : "false") +
         ",\"otherParityStart\":" + std::to_string(geometry.otherParityStart) +
         (geometry.fromParityPlaces ? ",\"fromParityPlaces\":true" : "") +
         (geometry.places.agree + geometry.places.disagree == 0
              ? std::string()
              : ",\"parityPlaces\":{\"agree\":" + std::to_string(geometry.places.agree) +
                    ",\"disagree\":" + std::to_string(geometry.places.disagree) + "}") +
         (geometry.syndrome.agree + geometry.syndrome.disagree == 0
              ? std::string()
              : ",\"syndrome\":{\"agree\":" + std::to_string(geometry.syndrome.agree) +
                    ",\"disagree\":" + std::to_string(geometry.syndrome.disagree) + "}") +
         (geometry.parity.checked == 0 ? std::string()
                                       : ",\"parity\":{\"checked\":" + std::to_string(geometry.parity.checked) +
                                             ",\"zero\":" + std::to_string(geometry.parity.zero) +
                                             (geometry.parity.q + geometry.parity.qTwins == 0
                                                  ? std::string()
                                                  : ",\"q\":" + std::to_string(geometry.parity.q) +
                                                        ",\"qTwins\":" + std::to_string(geometry.parity.qTwins)) +
                                             "}") +
         "}";
}

}  // namespace brenvik
