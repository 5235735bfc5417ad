#pragma once
// The refusal texts more than one tool shows, each written once; both front ends show them.
namespace brenvik {

inline constexpr char16_t kSetPathCorrectlyText[] = u"Please set the path correctly";
inline constexpr char16_t kByteContentRefusedText[] = u"Please set the byte content correctly";  // a fill pattern
inline constexpr char16_t kParameterErrorText[] = u"Parameter setting error, please reset";

}  // namespace brenvik
