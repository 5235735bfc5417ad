#pragma once
// The criteria as the page offers them (the fixed name-rule and extension tables) and their
// collection from the page's texts into a detector, with the first refusal found.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "invalid_files/InvalidFileDetector.h"

namespace brenvik {

struct NameRuleRow {
  std::u16string_view text;  // column "String"
  std::u16string_view type;  // column "Type": "prefix", "contain", "suffix" or "all"
};
extern const std::array<NameRuleRow, 9> kDefaultNameRules;
extern const std::array<std::u16string_view, 40> kDefaultExtensions;

// What the page's controls hold when Check is pressed.
struct CriteriaInput {
  std::u16string root;
  std::vector<NameRuleRow> checkedNameRules;  // checked rows, top to bottom
  std::vector<std::u16string> checkedExtensions;
  bool sizeChecked = false;
  std::u16string sizeMinimumText, sizeMaximumText;
  bool contentChecked = false;
  std::u16string patternText, percentText;
  bool headerChecked = false;
  bool damagedChecked = false;
  bool duplicatesChecked = false;
  bool thumbnailsChecked = false;
  // The page's "delete empty folders" as the last Delete left it: with it, a Check without any
  // other criterion is still allowed (it lists nothing, and the next Delete cleans up folders).
  bool emptyFoldersFromLastDelete = false;
};

enum class CriteriaRefusal { None, Path, Size, ByteContent, Percent, NoCriterion };

// The message a refusal shows; empty for None.
std::u16string_view RefusalText(CriteriaRefusal refusal);

// Fills a fresh detector from `input`, stopping at the first refusal.
CriteriaRefusal CollectCriteria(const CriteriaInput& input, InvalidFileDetector& detector);


}  // namespace brenvik
