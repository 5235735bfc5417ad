#include "core/Translation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <unordered_map>

#include "platform/PathText.h"

namespace brenvik {
namespace {

constexpr uint32_t kMoMagic = 0x950412de;
// Our catalogues are a few hundred kilobytes; anything far larger is not one of ours.
constexpr std::streamoff kMaxCatalogueBytes = 16 << 20;
// How deep the parts of a pattern are translated in turn ("重试用时1时2分3秒，..." holds a time).
constexpr int kMaxPatternDepth = 3;

// A catalogue entry with placeholders: literal pieces around numbered holes.
struct Pattern {
  std::vector<std::u16string> pieces;  // holes.size() + 1 pieces
  std::vector<int> holes;              // placeholder numbers 1..9, in order of appearance
  std::u16string translation;
  size_t literalLength = 0;
};

struct Catalogue {
  std::unordered_map<std::u16string, std::u16string> exact;
  std::vector<Pattern> patterns;  // most specific first
};

std::unique_ptr<const Catalogue> gCatalogue;
std::string gCatalogueName;

// Splits "a%1b%2c" into pieces and holes; nullopt when the text has no placeholder.
std::optional<Pattern> ParsePattern(const std::u16string& id) {
  Pattern pattern;
  std::u16string piece;
  for (size_t i = 0; i < id.size(); ++i) {
    if (id[i] == u'%' && i + 1 < id.size() && id[i + 1] >= u'1' && id[i + 1] <= u'9') {
      pattern.pieces.push_back(std::move(piece));
      piece.clear();
      pattern.holes.push_back(id[i + 1] - u'0');
      ++i;
    } else {
      piece += id[i];
    }
  }
  if (pattern.holes.empty()) return std::nullopt;
  pattern.pieces.push_back(std::move(piece));
  for (const std::u16string& p : pattern.pieces) pattern.literalLength += p.size();
  return pattern;
}

// Fills `parts` with what each hole stands for when `text` fits the pattern from piece `k` on;
// each hole takes at least one character, the shortest that lets the rest fit.
bool MatchFrom(const Pattern& pattern, std::u16string_view text, size_t k, std::vector<std::u16string_view>& parts) {
  const std::u16string& next = pattern.pieces[k + 1];
  const bool last = k + 1 == pattern.holes.size();
  if (last) {
    if (text.size() <= next.size() || !text.ends_with(next)) return false;
    parts[k] = text.substr(0, text.size() - next.size());
    return true;
  }
  for (size_t at = text.find(next, 1); at != std::u16string_view::npos; at = text.find(next, at + 1)) {
    parts[k] = text.substr(0, at);
    if (MatchFrom(pattern, text.substr(at + next.size()), k + 1, parts)) return true;
  }
  return false;
}

std::u16string TranslateWith(const Catalogue& catalogue, std::u16string_view text, int depth);

std::optional<std::u16string> FillPattern(const Catalogue& catalogue, const Pattern& pattern, std::u16string_view text,
                                          int depth) {
  if (!text.starts_with(pattern.pieces.front())) return std::nullopt;
  std::vector<std::u16string_view> parts(pattern.holes.size());
  if (!MatchFrom(pattern, text.substr(pattern.pieces.front().size()), 0, parts)) return std::nullopt;
  std::u16string out;
  const std::u16string& to = pattern.translation;
  for (size_t i = 0; i < to.size(); ++i) {
    if (to[i] == u'%' && i + 1 < to.size() && to[i + 1] >= u'1' && to[i + 1] <= u'9') {
      const int number = to[i + 1] - u'0';
      for (size_t h = 0; h < pattern.holes.size(); ++h)
        if (pattern.holes[h] == number) {
          out += depth < kMaxPatternDepth ? TranslateWith(catalogue, parts[h], depth + 1) : std::u16string(parts[h]);
          break;
        }
      ++i;
    } else {
      out += to[i];
    }
  }
  return out;
}

std::u16string TranslateWith(const Catalogue& catalogue, std::u16string_view text, int depth) {
  if (text.empty()) return {};
  if (const auto found = catalogue.exact.find(std::u16string(text)); found != catalogue.exact.end())
    return found->second;
  for (const Pattern& pattern : catalogue.patterns)
    if (auto filled = FillPattern(catalogue, pattern, text, depth)) return std::move(*filled);
  if (text.find(u'\n') == std::u16string_view::npos) return std::u16string(text);
  std::u16string out;
  size_t start = 0;
  for (size_t end; (end = text.find(u'\n', start)) != std::u16string_view::npos; start = end + 1)
    out += TranslateWith(catalogue, text.substr(start, end - start), depth) + u'\n';
  return out + TranslateWith(catalogue, text.substr(start), depth);
}

uint32_t ReadWord(std::string_view bytes, size_t at, bool swapped) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return swapped ? __builtin_bswap32(value) : value;
}

// The string a .mo table entry at `entry` points to; nullopt when it lies outside the file.
std::optional<std::string_view> TableString(std::string_view bytes, uint64_t entry, bool swapped) {
  if (entry + 8 > bytes.size()) return std::nullopt;
  const uint64_t length = ReadWord(bytes, entry, swapped);
  const uint64_t offset = ReadWord(bytes, entry + 4, swapped);
  if (offset > bytes.size() || length >= bytes.size() - offset) return std::nullopt;  // room for the NUL
  return bytes.substr(offset, length);
}

std::string_view FirstForm(std::string_view text) { return text.substr(0, text.find('\0')); }

std::string StripEncoding(std::string_view locale) {
  return std::string(locale.substr(0, std::min(locale.find('.'), locale.find('@'))));
}

bool IsSourceLocale(std::string_view locale) {
  const std::string name = StripEncoding(locale);
  return name.empty() || name == "C" || name == "POSIX";
}

void AddNames(std::string_view locale, std::vector<std::string>& names) {
  const std::string full = StripEncoding(locale);
  if (IsSourceLocale(full)) return;
  const std::string language = full.substr(0, full.find('_'));
  for (const std::string& name : {full, language, language == "zh" ? std::string("zh_CN") : std::string()})
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

}  // namespace

std::vector<std::string> CatalogueNamesForLocale(const EnvironmentLookup& environment) {
  std::string locale;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const auto value = environment(variable); value && !value->empty()) {
      locale = *value;
      break;
    }
  std::vector<std::string> names;
  if (IsSourceLocale(locale)) return names;
  if (const auto list = environment("LANGUAGE"); list && !list->empty()) {
    std::string_view rest = *list;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      AddNames(rest.substr(0, colon), names);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  AddNames(locale, names);
  return names;
}

bool LoadCatalogueBytes(std::string_view bytes) {
  gCatalogue.reset();
  if (bytes.size() < 28) return false;
  uint32_t magic;
  std::memcpy(&magic, bytes.data(), 4);
  const bool swapped = magic == __builtin_bswap32(kMoMagic);
  if (magic != kMoMagic && !swapped) return false;
  const uint64_t count = ReadWord(bytes, 8, swapped);
  const uint64_t originals = ReadWord(bytes, 12, swapped);
  const uint64_t translations = ReadWord(bytes, 16, swapped);
  if (count > bytes.size() / 8) return false;
  auto catalogue = std::make_unique<Catalogue>();
  for (uint64_t i = 0; i < count; ++i) {
    const auto id = TableString(bytes, originals + i * 8, swapped);
    const auto text = TableString(bytes, translations + i * 8, swapped);
    if (!id || !text) return false;
    // The header (empty id) and entries with a context are not texts this program looks up.
    if (id->empty() || id->find('\x04') != std::string_view::npos) continue;
    std::u16string source = Utf8ToText(FirstForm(*id));
    std::u16string translation = Utf8ToText(FirstForm(*text));
    if (translation.empty()) continue;  // untranslated: the source text stands
    if (auto pattern = ParsePattern(source)) {
      pattern->translation = translation;
      catalogue->patterns.push_back(std::move(*pattern));
    }
    catalogue->exact.emplace(std::move(source), std::move(translation));
  }
  std::stable_sort(catalogue->patterns.begin(), catalogue->patterns.end(), [](const Pattern& a, const Pattern& b) {
    return a.literalLength != b.literalLength ? a.literalLength > b.literalLength : a.holes.size() < b.holes.size();
  });
  gCatalogue = std::move(catalogue);
  return true;
}

bool LoadCatalogueFile(const std::filesystem::path& moFile) {
  gCatalogue.reset();
  std::ifstream in(moFile, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size <= 0 || size > kMaxCatalogueBytes) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), size)) return false;
  return LoadCatalogueBytes(bytes);
}

std::string LoadCatalogueForLocale(const std::vector<std::filesystem::path>& folders,
                                   const EnvironmentLookup& environment) {
  UnloadCatalogue();
  for (const std::string& name : CatalogueNamesForLocale(environment))
    for (const std::filesystem::path& folder : folders) {
      const std::filesystem::path file = folder / name / "LC_MESSAGES" / "brenvik.mo";
      std::error_code error;
      if (std::filesystem::is_regular_file(file, error) && LoadCatalogueFile(file)) return gCatalogueName = name;
    }
  return {};
}

void UnloadCatalogue() {
  gCatalogue.reset();
  gCatalogueName.clear();
}

const std::string& CatalogueName() { return gCatalogueName; }

std::vector<std::filesystem::path> CatalogueFolders(const std::filesystem::path& executable,
                                                    const EnvironmentLookup& environment) {
  std::vector<std::filesystem::path> folders;
  if (const auto own = environment("BRENVIK_LOCALEDIR"); own && !own->empty()) folders.emplace_back(*own);
  const std::filesystem::path above = executable.parent_path().parent_path();
  folders.push_back(above / "share" / "locale");
  folders.push_back(above / "locale");
  return folders;
}

std::string LoadCatalogueForProcess() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  const EnvironmentLookup environment = ProcessEnvironment();
  return LoadCatalogueForLocale(CatalogueFolders(error ? std::filesystem::path() : self, environment), environment);
}

std::u16string Translate(std::u16string_view text) {
  const Catalogue* catalogue = gCatalogue.get();
  if (!catalogue) return std::u16string(text);
  // Line ends after the text (a printed help text) are kept as they are.
  const size_t end = text.find_last_not_of(u'\n') + 1;
  return TranslateWith(*catalogue, text.substr(0, end), 0) + std::u16string(text.substr(end));
}

std::string TranslateUtf8(std::string_view text) {
  return gCatalogue ? TextToUtf8(Translate(Utf8ToText(text))) : std::string(text);
}

}  // namespace brenvik
