#include "raid/RaidPlot.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

namespace brenvik {
namespace {

// The share of records left out at either end of the record axis.
constexpr double kStrayShare = 0.005;
// The margin around the records, as a share of their extent.
constexpr double kMargin = 0.03;

double WithMargin(double from, double to, bool lower) {
  const double margin = std::max(1.0, (to - from) * kMargin);
  return lower ? from - margin : to + margin;
}

}  // namespace

RaidPlotBounds WholePlot(const RaidPlotModel& model) {
  if (model.runs.empty()) return {};
  int64_t firstSector = INT64_MAX;
  int64_t lastSector = INT64_MIN;
  uint64_t total = 0;
  std::vector<std::pair<uint32_t, uint32_t>> byRecord;  // first record, length
  byRecord.reserve(model.runs.size());
  for (const RaidRecordRun& run : model.runs) {
    firstSector = std::min(firstSector, run.sector);
    lastSector = std::max(lastSector, run.sector + 2 * int64_t{run.length});
    byRecord.emplace_back(run.record, run.length);
    total += run.length;
  }
  std::sort(byRecord.begin(), byRecord.end());
  // The record numbers below which kStrayShare and 1 - kStrayShare of the records lie.
  const auto recordAtShare = [&](double share) {
    const auto wanted = static_cast<uint64_t>(share * static_cast<double>(total));
    uint64_t seen = 0;
    for (const auto& [record, length] : byRecord) {
      if (seen + length > wanted) return static_cast<double>(record) + static_cast<double>(wanted - seen);
      seen += length;
    }
    return static_cast<double>(byRecord.back().first) + byRecord.back().second;
  };
  const double lowRecord = recordAtShare(kStrayShare);
  const double highRecord = recordAtShare(1 - kStrayShare) + 1;
  RaidPlotBounds bounds;
  bounds.sectorFrom = WithMargin(static_cast<double>(firstSector), static_cast<double>(lastSector), true);
  bounds.sectorTo = WithMargin(static_cast<double>(firstSector), static_cast<double>(lastSector), false);
  bounds.recordFrom = WithMargin(lowRecord, highRecord, true);
  bounds.recordTo = WithMargin(lowRecord, highRecord, false);
  return bounds;
}

std::vector<int64_t> StripeBoundaries(const RaidGeometryGuess& geometry, int64_t from, int64_t to, size_t limit) {
  std::vector<int64_t> boundaries;
  const int64_t stripe = geometry.stripeSectors;
  if (geometry.layout == RaidLayout::Mirror || stripe <= 0 || to < from) return boundaries;
  const int64_t firstRow = std::max<int64_t>(0, (from - geometry.startSector + stripe - 1) / stripe);
  for (int64_t row = firstRow;; ++row) {
    const int64_t sector = geometry.startSector + row * stripe;
    if (sector > to) break;
    if (boundaries.size() == limit) return {};
    boundaries.push_back(sector);
  }
  return boundaries;
}

std::vector<RaidPlotSegment> ExpectedRecordLine(const RaidGeometryGuess& geometry, size_t member, int64_t from,
                                                int64_t to, size_t limit) {
  std::vector<RaidPlotSegment> segments;
  if (to < from) return segments;
  // A record's number rises by one every two sectors along a stripe of data.
  const auto segment = [&](int64_t first, int64_t last) -> std::optional<RaidPlotSegment> {
    const std::optional<int64_t> record = RecordExpectedAt(geometry, member, first);
    if (!record) return std::nullopt;
    // Halfway through a record when the sector is its second one.
    const int64_t along = first - geometry.recordZeroDataSector - (geometry.layout == RaidLayout::Mirror ? 0 : geometry.startSector);
    const double start = static_cast<double>(*record) + (along % 2 != 0 ? 0.5 : 0.0);
    return RaidPlotSegment{first, start, last, start + static_cast<double>(last - first) / 2};
  };
  if (geometry.layout == RaidLayout::Mirror) {
    if (const auto whole = segment(from, to)) segments.push_back(*whole);
    return segments;
  }
  const int64_t stripe = geometry.stripeSectors;
  if (stripe <= 0) return segments;
  const int64_t start = std::max(from, geometry.startSector);
  for (int64_t rowStart = geometry.startSector + (start - geometry.startSector) / stripe * stripe; rowStart <= to;
       rowStart += stripe) {
    const int64_t first = std::max(rowStart, start);
    const int64_t last = std::min(rowStart + stripe, to);
    if (const auto piece = segment(first, last)) {
      if (segments.size() == limit) return {};
      segments.push_back(*piece);
    }
  }
  return segments;
}

std::optional<PlotFormat> PlotFormatOf(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  if (extension == ".png") return PlotFormat::Png;
  if (extension == ".svg") return PlotFormat::Svg;
  return std::nullopt;
}

}  // namespace brenvik
