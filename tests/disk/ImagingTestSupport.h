#pragma once
// What the imaging engine tests share: a reporter that records every report, sectors whose bytes
// tell where they are, and the image-to-image parameters most tests start from.
#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "disk/ImagingJob.h"
#include "platform/PathText.h"
#include "tests/support/TempDir.h"

namespace brenvik::testing {

struct Row {
  std::u16string title, description;
  bool operator==(const Row&) const = default;
};
inline void PrintTo(const Row& row, std::ostream* out) {
  *out << TextToUtf8(row.title) << " / " << TextToUtf8(row.description);
}

class RecordingReporter : public ImagingReporter {
 public:
  void Message(std::u16string_view title, std::u16string_view description) override {
    rows.push_back({std::u16string(title), std::u16string(description)});
  }
  // The first report of a run announces its range.
  void Progress(int64_t position, int64_t maximum) override {
    if (range < 0) {
      range = maximum;
      return;
    }
    positions.push_back(position);
    if (afterBlock) afterBlock();
  }
  void Tally(const ImagingDisplays& d) override { lbas.push_back(d.lba); }

  bool has(const Row& row) const { return std::find(rows.begin(), rows.end(), row) != rows.end(); }

  std::vector<Row> rows;
  int64_t range = -1;
  std::vector<int64_t> positions;
  std::vector<std::u16string> lbas;
  std::function<void()> afterBlock;
};

// Sectors whose bytes tell where they are: byte j of sector s is (s * 7 + j) & 0xFF.
inline std::string Sectors(int64_t count, int sectorSize) {
  std::string bytes(static_cast<size_t>(count * sectorSize), '\0');
  for (int64_t s = 0; s < count; ++s)
    for (int j = 0; j < sectorSize; ++j) bytes[static_cast<size_t>(s * sectorSize + j)] = static_cast<char>(s * 7 + j);
  return bytes;
}

// What keeping the first `keep` bytes of every sector of `bytes` gives.
inline std::string FirstBytesOfEach(const std::string& bytes, int sectorSize, int keep) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(sectorSize)) out += bytes.substr(at, keep);
  return out;
}

inline ImagingRequest ImageToImage(const TempDir& dir, int64_t count, int32_t ps, int32_t pt) {
  ImagingRequest p;
  p.sourceImage = dir / "source.img";
  p.sourceCount = count;
  p.targetSize = count;
  p.sourceSectorSize = ps;
  p.targetSectorSize = pt;
  p.targetFile = dir / "target.img";
  return p;
}

inline const Row kStarted{u"镜像", u"正在镜像..."};
inline const Row kDone{u"镜像", u"镜像完成"};
inline const Row kRefused{u"错误", u"打开目标设备错误"};
inline const Row kInterrupted{u"镜像", u"镜像中断"};

}  // namespace brenvik::testing
