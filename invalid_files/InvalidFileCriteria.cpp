#include "invalid_files/InvalidFileCriteria.h"

#include <limits>

#include "core/CheckPass.h"
#include "core/FillPatternText.h"
#include "core/TextHelpers.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

NameRule::Kind KindOf(std::u16string_view type) {
  if (type == u"prefix") return NameRule::kPrefix;
  if (type == u"contain") return NameRule::kContain;
  if (type == u"suffix") return NameRule::kSuffix;
  return NameRule::kAll;
}

}  // namespace

const std::array<NameRuleRow, 9> kDefaultNameRules{{{u"tmp", u"suffix"},
                                                    {u"tem", u"suffix"},
                                                    {u"temp", u"suffix"},
                                                    {u"~", u"prefix"},
                                                    {u"?", u"prefix"},
                                                    {u"?", u"contain"},
                                                    {u"lnk", u"suffix"},
                                                    {u"desktop.ini", u"all"},
                                                    {u"thumbs.db", u"all"}}};

const std::array<std::u16string_view, 40> kDefaultExtensions{
    u"jpg", u"png", u"gif",  u"cr2",  u"dwg",  u"bmp", u"dcm",   u"psd", u"tif", u"tiff",
    u"nef", u"dng", u"cdr",  u"ai",   u"crw",  u"raf", u"rtf",   u"pdf", u"doc", u"xls",
    u"ppt", u"docx", u"xlsx", u"pptx", u"mdb", u"accdb", u"rar", u"zip", u"7z",  u"mp3",
    u"wav", u"amr", u"mp4",  u"mov",  u"swf",  u"asf", u"3gp",   u"flv", u"avi", u"mxf"};

std::u16string_view RefusalText(CriteriaRefusal refusal) {
  switch (refusal) {
    case CriteriaRefusal::Path: return kSetPathCorrectlyText;
    case CriteriaRefusal::Size: return u"Please set the size correctly";
    case CriteriaRefusal::ByteContent: return kByteContentRefusedText;
    case CriteriaRefusal::Percent: return u"Please set percent correctly";
    case CriteriaRefusal::NoCriterion: return kParameterErrorText;
    case CriteriaRefusal::None: break;
  }
  return {};
}

CriteriaRefusal CollectCriteria(const CriteriaInput& input, InvalidFileDetector& detector) {
  if (input.root.empty()) return CriteriaRefusal::Path;
  detector.root = TextToPath(input.root);

  for (const NameRuleRow& row : input.checkedNameRules) detector.nameRules.emplace_back(KindOf(row.type), row.text);
  detector.extensions = input.checkedExtensions;

  detector.sizeTestOn = input.sizeChecked;
  if (input.sizeChecked) {
    detector.sizeMinimum = ParseLeadingInteger(input.sizeMinimumText);
    detector.sizeMaximum = ParseLeadingInteger(input.sizeMaximumText);
    if (detector.sizeMinimum > detector.sizeMaximum) return CriteriaRefusal::Size;
  }

  detector.contentTestOn = input.contentChecked;
  if (input.contentChecked) {
    std::optional<std::vector<uint8_t>> pattern = ParseFillPattern(input.patternText);
    if (!pattern) return CriteriaRefusal::ByteContent;
    const int64_t percent = ParseLeadingInteger(input.percentText);
    if (percent > 100) return CriteriaRefusal::Percent;
    detector.percentThreshold = static_cast<int32_t>(std::max<int64_t>(percent, std::numeric_limits<int32_t>::min()));
    detector.fillPattern = std::move(*pattern);
    detector.headerRuleOn = input.headerChecked;
  }

  detector.damageTestOn = input.damagedChecked;
  detector.duplicatesOn = input.duplicatesChecked;
  detector.thumbnailsOn = input.thumbnailsChecked;

  if (!detector.HasCriterion() && !input.emptyFoldersFromLastDelete) return CriteriaRefusal::NoCriterion;
  return CriteriaRefusal::None;
}

}  // namespace brenvik
