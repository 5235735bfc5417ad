#include "disk/RescueMap.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>

#include "platform/NoFollow.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

// Far more than a map of this program can reach (one line per area of a failing disk), and small
// enough to read at once.
constexpr int64_t kMaxMapBytes = 64 << 20;
constexpr std::string_view kRunComment = "# brenvik run:";

bool IsStateChar(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }

SectorState StateOf(char c) { return static_cast<SectorState>(c); }

// Bytes outside the printable ASCII range, blanks and '%' become "%XX", so any source name
// stays one word of one line.
std::string Escape(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// A non-negative number as ddrescue writes it: "0x" and hexadecimal digits, or decimal digits.
std::optional<int64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    if (__builtin_mul_overflow(value, int64_t{base}, &value) || __builtin_add_overflow(value, digit, &value))
      return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t begin = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > begin) words.push_back(line.substr(begin, at - begin));
  }
  return words;
}

std::optional<RescueRun> ParseRunComment(std::string_view line) {
  RescueRun run;
  int seen = 0;
  for (std::string_view word : Words(line.substr(kRunComment.size()))) {
    const size_t equals = word.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = word.substr(0, equals), value = word.substr(equals + 1);
    if (key == "source") {
      auto source = Unescape(value);
      if (!source) return std::nullopt;
      run.source = std::move(*source);
      seen |= 1;
      continue;
    }
    const auto number = ParseNumber(value);
    if (!number) return std::nullopt;
    const bool fitsInt32 = *number <= INT32_MAX;
    if (key == "source-sector" && fitsInt32) {
      run.sourceSectorSize = static_cast<int32_t>(*number);
      seen |= 2;
    } else if (key == "target-sector" && fitsInt32) {
      run.targetSectorSize = static_cast<int32_t>(*number);
      seen |= 4;
    } else if (key == "start") {
      run.start = *number;
      seen |= 8;
    } else if (key == "count") {
      run.count = *number;
      seen |= 16;
    } else if (key == "target-start") {
      run.targetStart = *number;
      seen |= 32;
    } else {
      return std::nullopt;
    }
  }
  if (seen != 63) return std::nullopt;
  return run;
}

// The sectors of the run when the blocks cover exactly its bytes in whole sectors.
std::optional<SectorMap> SectorsOf(const RescueRun& run, const std::vector<RescueMapBlock>& blocks) {
  const int64_t sectorSize = run.sourceSectorSize;
  int64_t end = 0, first = 0, last = 0;
  if (sectorSize <= 0 || __builtin_add_overflow(run.start, run.count, &end) ||
      __builtin_mul_overflow(run.start, sectorSize, &first) || __builtin_mul_overflow(end, sectorSize, &last))
    return std::nullopt;
  if (blocks.empty() ? run.count != 0 : blocks.front().position != first || blocks.back().position + blocks.back().size != last)
    return std::nullopt;
  SectorMap map(run.start, end);
  for (const RescueMapBlock& block : blocks) {
    if (block.position % sectorSize != 0 || block.size % sectorSize != 0) return std::nullopt;
    map.set(block.position / sectorSize, (block.position + block.size) / sectorSize, StateOf(block.status));
  }
  return map;
}

}  // namespace

// ---- SectorMap ----

SectorMap::SectorMap(int64_t first, int64_t end) : first_(first), end_(std::max(first, end)) {
  if (end_ > first_) areas_[first_] = {first_, end_, SectorState::NotTried};
}

void SectorMap::set(int64_t first, int64_t end, SectorState state) {
  first = std::max(first, first_);
  end = std::min(end, end_);
  if (first >= end) return;
  // Split the areas that straddle either edge, so that [first, end) is made of whole areas.
  auto split = [this](int64_t at) {
    auto it = areas_.upper_bound(at);
    if (it == areas_.begin()) return;
    --it;
    if (it->second.first < at && at < it->second.end) {
      SectorArea tail = it->second;
      tail.first = at;
      it->second.end = at;
      areas_[at] = tail;
    }
  };
  split(first);
  split(end);
  areas_.erase(areas_.lower_bound(first), areas_.lower_bound(end));
  auto it = areas_.emplace(first, SectorArea{first, end, state}).first;
  // Join equal neighbours, so the map stays one line per area of one state.
  if (auto next = std::next(it); next != areas_.end() && next->second.state == state) {
    it->second.end = next->second.end;
    areas_.erase(next);
  }
  if (it != areas_.begin()) {
    auto previous = std::prev(it);
    if (previous->second.state == state) {
      previous->second.end = it->second.end;
      areas_.erase(it);
    }
  }
}

std::optional<SectorArea> SectorMap::next(int64_t from, SectorState state) const {
  auto it = areas_.upper_bound(from);
  if (it != areas_.begin()) --it;
  for (; it != areas_.end(); ++it) {
    const SectorArea& area = it->second;
    if (area.state != state || area.end <= from) continue;
    return SectorArea{std::max(area.first, from), area.end, state};
  }
  return std::nullopt;
}

int64_t SectorMap::count(SectorState state) const {
  int64_t total = 0;
  for (const auto& [first, area] : areas_)
    if (area.state == state) total += area.end - area.first;
  return total;
}

std::vector<SectorArea> SectorMap::areas() const {
  std::vector<SectorArea> all;
  all.reserve(areas_.size());
  for (const auto& [first, area] : areas_) all.push_back(area);
  return all;
}

// ---- text ----

std::string FormatRescueMap(const RescueRun& run, const SectorMap& map, int64_t position, SectorState passState,
                            int pass) {
  const long long ps = run.sourceSectorSize;
  std::string text = "# Rescue map of a sector image (mapfile format of GNU ddrescue)\n";
  char line[256];
  text += std::string(kRunComment) + " source=" + Escape(run.source);
  std::snprintf(line, sizeof line, " source-sector=%d target-sector=%d start=%lld count=%lld target-start=%lld\n",
                run.sourceSectorSize, run.targetSectorSize, static_cast<long long>(run.start),
                static_cast<long long>(run.count), static_cast<long long>(run.targetStart));
  text += line;
  text += "# current_pos  current_status  current_pass\n";
  std::snprintf(line, sizeof line, "0x%08llX     %c               %d\n", static_cast<unsigned long long>(position * ps),
                static_cast<char>(passState), pass);
  text += line;
  text += "#      pos        size  status\n";
  for (const SectorArea& area : map.areas()) {
    std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(area.first * ps),
                  static_cast<unsigned long long>((area.end - area.first) * ps), static_cast<char>(area.state));
    text += line;
  }
  return text;
}

ParsedRescueMap ParseRescueMap(std::string_view text) {
  ParsedRescueMap parsed;
  std::optional<RescueRun> run;
  std::vector<RescueMapBlock> blocks;
  int64_t statusPosition = 0;
  bool statusSeen = false;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with(kRunComment)) {
      run = ParseRunComment(line);
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const auto words = Words(line);
    if (!statusSeen) {
      // current_pos current_status [current_pass]
      const auto current = words.size() >= 2 ? ParseNumber(words[0]) : std::nullopt;
      if (words.size() > 3 || !current || words[1].size() != 1) return {};
      statusPosition = *current;
      statusSeen = true;
      continue;
    }
    if (words.size() != 3 || words[2].size() != 1 || !IsStateChar(words[2][0])) return {};
    const auto position = ParseNumber(words[0]), size = ParseNumber(words[1]);
    int64_t end = 0;
    if (!position || !size || *size == 0 || __builtin_add_overflow(*position, *size, &end)) return {};
    if (!blocks.empty() && blocks.back().position + blocks.back().size != *position) return {};
    blocks.push_back({*position, *size, words[2][0]});
  }
  if (!statusSeen) return {};
  parsed.isMap = true;
  parsed.run = run;
  if (run) parsed.map = SectorsOf(*run, blocks);
  parsed.position = statusPosition;
  parsed.blocks = std::move(blocks);
  return parsed;
}

// ---- the file ----

RescueMapFile::RescueMapFile(const fs::path& target) : path_(target) { path_ += ".map"; }

RescueMapFile RescueMapFile::at(const fs::path& mapPath) {
  RescueMapFile file(mapPath);
  file.path_ = mapPath;
  return file;
}

RescueMapFile::Loaded RescueMapFile::load() const {
  Loaded loaded;
  UniqueFd folder = OpenFolder(path_.parent_path().empty() ? fs::path(".") : path_.parent_path());
  if (!folder) return loaded;
  int64_t size = 0;
  const UniqueFd fd = OpenRegularFileAt(folder.get(), path_.filename().native(), size);
  // Anything else at the name (a link, a FIFO, a folder) is no map.
  loaded.found = fd || IdentityAt(folder.get(), path_.filename().native()).known() ? Found::Other : Found::None;
  if (!fd || size > kMaxMapBytes) return loaded;
  std::string text(static_cast<size_t>(size), '\0');
  const int64_t got = ReadAt(fd.get(), text.data(), text.size(), 0);
  if (got < 0) return loaded;
  text.resize(static_cast<size_t>(got));
  loaded.parsed = ParseRescueMap(text);
  if (loaded.parsed.isMap) loaded.found = Found::Map;
  return loaded;
}

bool RescueMapFile::save(std::string_view text) const {
  UniqueFd folder = OpenFolder(path_.parent_path().empty() ? fs::path(".") : path_.parent_path());
  return folder && ReplaceFileAtomicallyAt(folder.get(), path_.filename().native(), text);
}

// ---- the map of a running copy ----

RescueMapKeeper::RescueMapKeeper(std::optional<RescueMapFile> file, RescueRun run, SectorMap sectors, int targetFd,
                                 std::chrono::milliseconds interval)
    : file_(std::move(file)), run_(std::move(run)), targetFd_(targetFd), sectors_(std::move(sectors)) {
  position_ = sectors_.first();
  if (!file_) return;
  try {
    thread_ = std::thread([this, interval] { checkpoints(interval); });
  } catch (const std::system_error&) {
    // Without a thread the map is saved at the start and at the end only.
  }
}

RescueMapKeeper::~RescueMapKeeper() {
  {
    std::lock_guard guard(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RescueMapKeeper::set(int64_t first, int64_t end, SectorState state) {
  std::lock_guard guard(mutex_);
  sectors_.set(first, end, state);
}

void RescueMapKeeper::at(int64_t sector, SectorState phase, int pass) {
  std::lock_guard guard(mutex_);
  position_ = sector;
  phase_ = phase;
  pass_ = pass;
}

std::optional<SectorArea> RescueMapKeeper::next(int64_t from, SectorState state) const {
  std::lock_guard guard(mutex_);
  return sectors_.next(from, state);
}

int64_t RescueMapKeeper::count(SectorState state) const {
  std::lock_guard guard(mutex_);
  return sectors_.count(state);
}

std::vector<SectorArea> RescueMapKeeper::areas() const {
  std::lock_guard guard(mutex_);
  return sectors_.areas();
}

bool RescueMapKeeper::saveNow() {
  if (!file_) return true;
  std::string text;
  {
    std::lock_guard guard(mutex_);
    text = FormatRescueMap(run_, sectors_, position_, phase_, pass_);
  }
  const bool saved = file_->save(text);
  std::lock_guard guard(mutex_);
  failed_ = failed_ || !saved;
  return saved;
}

bool RescueMapKeeper::flushAndSave() {
  std::string text;
  {
    std::lock_guard guard(mutex_);
    text = FormatRescueMap(run_, sectors_, position_, phase_, pass_);
  }
  // Everything the text claims was written before this flush began.
  const bool saved = SyncData(targetFd_) && file_->save(text);
  std::lock_guard guard(mutex_);
  failed_ = failed_ || !saved;
  return saved;
}

void RescueMapKeeper::checkpoints(std::chrono::milliseconds interval) {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, interval, [this] { return ending_; })) {
    lock.unlock();
    try {
      flushAndSave();
    } catch (const std::bad_alloc&) {
      // No memory for the map's text this time; the next checkpoint or the end tries again.
    }
    lock.lock();
  }
}

bool RescueMapKeeper::finish() {
  {
    std::lock_guard guard(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (!file_) return true;
  flushAndSave();
  std::lock_guard guard(mutex_);
  return !failed_;
}

}  // namespace brenvik
