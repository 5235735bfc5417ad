// Feeds arbitrary contents, names and fill criteria to the detector's Classify.
// Input layout: flags, percent, pattern length n, n pattern bytes, name length m, m name bytes,
// then the file's contents.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/readers/FuzzInput.h"
#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileDetector.h"
#include "platform/FileOps.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::string Bytes(size_t n) {
    n = std::min(n, size);
    std::string out(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brenvik;
  Input input{data, size};
  const uint8_t flags = input.Byte();
  const int percent = input.Byte();
  const std::string pattern = input.Bytes(input.Byte() % 65);
  std::string name = input.Bytes(input.Byte() % 48);
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name.assign(1, 'f');  // assigning a literal trips a false GCC 12 -Wrestrict warning
  const std::string contents = input.Bytes(input.size);

  const std::filesystem::path path = fuzzing::ScratchFolder() / name;
  {
    UniqueFd out = CreateOutput(path);
    if (!out || !WriteFull(out.get(), contents.data(), contents.size())) return 0;
  }

  InvalidFileDetector detector;
  detector.Reset();
  detector.sizeTestOn = flags & 1;
  detector.sizeMinimum = detector.sizeMaximum = static_cast<int64_t>(contents.size() % 7);
  if (flags & 2)
    for (const NameRuleRow& rule : kDefaultNameRules)
      detector.nameRules.emplace_back(rule.type == u"prefix"    ? NameRule::kPrefix
                                      : rule.type == u"contain" ? NameRule::kContain
                                      : rule.type == u"suffix"  ? NameRule::kSuffix
                                                                : NameRule::kAll,
                                      rule.text);
  if (flags & 4)
    for (auto extension : kDefaultExtensions) detector.extensions.emplace_back(extension);
  detector.contentTestOn = (flags & 8) != 0;
  detector.headerRuleOn = (flags & 16) != 0;
  detector.percentThreshold = percent - 20;
  detector.fillPattern.assign(pattern.begin(), pattern.end());

  const ScanResult result = ClassifyFile(detector, path);
  if (result.path.empty() || result.size != static_cast<int64_t>(contents.size())) std::abort();
  if (result.verdict == Verdict::Size && !detector.sizeTestOn) std::abort();
  ::unlink(path.c_str());
  return 0;
}
