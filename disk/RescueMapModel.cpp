#include "disk/RescueMapModel.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/TextHelpers.h"
#include "core/Translation.h"

namespace brenvik {

namespace {

int64_t CeilDiv(__int128 value, __int128 by) { return static_cast<int64_t>((value + by - 1) / by); }

int64_t& BytesOf(RescueTotals& totals, CellState state) {
  switch (state) {
    case CellState::Finished: return totals.finished;
    case CellState::NonTrimmed: return totals.nonTrimmed;
    case CellState::NonScraped: return totals.nonScraped;
    case CellState::Bad: return totals.bad;
    default: return totals.notTried;
  }
}

// "512.0 Bytes" names its unit in words.
std::u16string SizeText(int64_t bytes) { return Translate(FormatSizeText(bytes)); }

std::u16string Amount(std::u16string_view name, int64_t bytes, int64_t whole) {
  return Translate(std::u16string(name) + u": " + SizeText(bytes) + u" (" + ShareText(bytes, whole) + u")");
}

// The bytes of each state within [from, to).
RescueTotals TotalsWithin(std::span<const RescueMapBlock> blocks, int64_t from, int64_t to) {
  RescueTotals totals;
  // Blocks lie back to back: the first that may reach into the range is the last starting at or before it.
  auto it = std::upper_bound(blocks.begin(), blocks.end(), from,
                             [](int64_t at, const RescueMapBlock& block) { return at < block.position; });
  if (it != blocks.begin()) --it;
  for (; it != blocks.end() && it->position < to; ++it) {
    const int64_t overlap = std::min(to, it->position + it->size) - std::max(from, it->position);
    if (overlap <= 0) continue;
    BytesOf(totals, CellStateOf(it->status)) += overlap;
    totals.size += overlap;
  }
  return totals;
}

}  // namespace

CellState CellStateOf(char status) {
  switch (status) {
    case '+': return CellState::Finished;
    case '*': return CellState::NonTrimmed;
    case '/': return CellState::NonScraped;
    case '-': return CellState::Bad;
    default: return CellState::NotTried;
  }
}

std::u16string_view CellStateName(CellState state) {
  static constexpr std::array<std::u16string_view, kCellStateCount> kNames = {
      u"Finished", u"Not tried", u"Non-trimmed", u"Non-scraped", u"Bad", u"Being read"};
  return kNames[static_cast<size_t>(state)];
}

RescueTotals TotalsOf(std::span<const RescueMapBlock> blocks) {
  RescueTotals totals;
  for (const RescueMapBlock& block : blocks) {
    BytesOf(totals, CellStateOf(block.status)) += block.size;
    totals.size += block.size;
  }
  return totals;
}

std::u16string ShareText(int64_t part, int64_t whole) {
  if (whole <= 0 || part <= 0) return u"0%";
  if (part >= whole) return u"100%";
  // A single bad sector of a large disk must not read as 0%, nor a nearly done copy as 100%.
  const double percent = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
  if (percent < 0.005) return u"<0.01%";
  if (percent >= 99.995) return u">99.99%";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", percent);
  return Utf16(text);
}

std::u16string DurationText(int64_t seconds) {
  seconds = std::max<int64_t>(seconds, 0);
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return Utf16(text);
}

std::u16string RescueTotalsText(const RescueMapSnapshot& map) {
  const RescueTotals t = TotalsOf(map.blocks);
  std::u16string text = Amount(u"Finished", t.finished, t.size) + u"  " + Amount(u"Bad", t.bad, t.size);
  if (t.nonTrimmed > 0) text += u"  " + Amount(u"Non-trimmed", t.nonTrimmed, t.size);
  if (t.nonScraped > 0) text += u"  " + Amount(u"Non-scraped", t.nonScraped, t.size);
  text += u"  " + Amount(u"Not tried", t.notTried, t.size);
  if (map.position && map.sectorSize > 0)
    text += u"  " + Translate(u"Position: sector " + Utf16(std::to_string(*map.position / map.sectorSize)));
  if (map.bytesPerSecond) text += u"  " + Translate(u"Rate: " + SizeText(*map.bytesPerSecond) + u"/s");
  if (map.elapsedSeconds) text += u"  " + Translate(u"Elapsed: " + DurationText(*map.elapsedSeconds));
  if (map.remainingSeconds) text += u"  " + Translate(u"Remaining: " + DurationText(*map.remainingSeconds));
  return text;
}

MapCells BuildMapCells(const RescueMapSnapshot& map, int64_t maxCells) {
  MapCells cells;
  if (map.blocks.empty()) return cells;
  cells.first = map.blocks.front().position;
  cells.end = map.blocks.back().position + map.blocks.back().size;
  const int64_t span = cells.end - cells.first;
  const int64_t sectorSize = std::max<int32_t>(map.sectorSize, 1);
  const int64_t sectors = CeilDiv(span, sectorSize);
  const __int128 cellBytes = __int128{CeilDiv(sectors, std::max<int64_t>(maxCells, 1))} * sectorSize;
  cells.cellBytes = static_cast<int64_t>(std::clamp<__int128>(cellBytes, 1, INT64_MAX));
  cells.cells.assign(static_cast<size_t>(CeilDiv(span, cells.cellBytes)), CellState::Finished);

  const auto cellOf = [&](int64_t byte) { return static_cast<size_t>((byte - cells.first) / cells.cellBytes); };
  for (const RescueMapBlock& block : map.blocks) {
    const CellState state = CellStateOf(block.status);
    for (size_t i = cellOf(block.position), last = cellOf(block.position + block.size - 1); i <= last; ++i)
      cells.cells[i] = std::max(cells.cells[i], state);
  }
  if (map.reading && map.position && *map.position >= cells.first && *map.position < cells.end)
    cells.cells[cellOf(*map.position)] = CellState::Reading;
  if (map.domain) {
    cells.inDomain.assign(cells.cells.size(), false);
    for (const auto& [from, to] : *map.domain) {
      const int64_t first = std::max(from, cells.first), end = std::min(to, cells.end);
      if (first >= end) continue;
      for (size_t i = cellOf(first), last = cellOf(end - 1); i <= last; ++i) cells.inDomain[i] = true;
    }
  }
  return cells;
}

std::u16string DescribeCell(const RescueMapSnapshot& map, const MapCells& cells, size_t index) {
  if (index >= cells.cells.size()) return {};
  const int64_t from = cells.first + static_cast<int64_t>(index) * cells.cellBytes;
  const int64_t to = from + std::min(cells.cellBytes, cells.end - from);
  const int64_t sectorSize = std::max<int32_t>(map.sectorSize, 1);
  std::u16string text = u"Sectors " + Utf16(std::to_string(from / sectorSize)) + u" - " +
                        Utf16(std::to_string((to - 1) / sectorSize)) + u": " +
                        std::u16string(CellStateName(cells.cells[index]));
  RescueTotals within = TotalsWithin(map.blocks, from, to);
  std::u16string mix;
  const std::u16string separator = Translate(u", ");  // a list's comma differs between languages
  int kinds = 0;
  for (int s = 0; s < kCellStateCount; ++s) {
    const auto state = static_cast<CellState>(s);
    if (state == CellState::Reading || BytesOf(within, state) == 0) continue;
    mix += (mix.empty() ? std::u16string() : separator) + Translate(CellStateName(state)) + u" " +
           SizeText(BytesOf(within, state));
    ++kinds;
  }
  if (kinds > 1 || cells.cells[index] == CellState::Reading) text += u" (" + mix + u")";
  return Translate(text);
}

std::optional<RescueMapSnapshot> SnapshotOfMap(const ParsedRescueMap& parsed) {
  if (!parsed.isMap) return std::nullopt;
  RescueMapSnapshot map;
  map.blocks = parsed.blocks;
  // ddrescue does not record the sector size; its default is 512.
  if (parsed.run && parsed.run->sourceSectorSize > 0) map.sectorSize = parsed.run->sourceSectorSize;
  map.position = parsed.position;
  return map;
}

}  // namespace brenvik
