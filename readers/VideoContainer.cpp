// The video containers read by this program: MP4/MOV/3GP boxes, AVI chunks and Matroska elements,
// only as far as the recording time and the camera. Every size comes from the file, so each is
// checked against the part it claims to lie in before anything is read, and every level of boxes,
// chunks or elements is walked a bounded number of steps: the work stays small whatever the file.
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "readers/MediaFacts.h"

namespace brenvik {
namespace {

constexpr int64_t kSecondsFrom1904To1970 = 2'082'844'800;
constexpr int64_t kSecondsFrom1970To2001 = 978'307'200;
// Steps taken on one level; real files have a few dozen boxes, chunks or elements per level.
constexpr int kStepsPerLevel = 4096;
constexpr size_t kTextBytes = 256;         // a camera's make or model, a date text
constexpr size_t kKeysBytes = 64 * 1024;   // the metadata key table of a QuickTime movie

constexpr uint32_t FourCc(const char (&code)[5]) {
  return (uint32_t{static_cast<uint8_t>(code[0])} << 24) | (uint32_t{static_cast<uint8_t>(code[1])} << 16) |
         (uint32_t{static_cast<uint8_t>(code[2])} << 8) | uint32_t{static_cast<uint8_t>(code[3])};
}
// QuickTime's user data texts are named with the copyright sign (0xA9) first.
constexpr uint32_t kMakeText = 0xA96D616B;   // "©mak"
constexpr uint32_t kModelText = 0xA96D6F64;  // "©mod"

uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint64_t LoadBe64(const uint8_t* p) { return (uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4); }
uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The open file, read only inside its bounds.
class FileBytes {
 public:
  FileBytes(int fd, int64_t size) : fd_(fd), size_(size) {}
  int64_t size() const { return size_; }
  // Exactly `count` bytes at `offset`, all inside [0, limit) and the file.
  bool Read(int64_t offset, void* into, size_t count, int64_t limit) const {
    limit = std::min(limit, size_);
    if (offset < 0 || offset > limit || count > static_cast<uint64_t>(limit - offset)) return false;
    return ReadAt(fd_, into, count, offset) == static_cast<int64_t>(count);
  }
  // Up to `cap` bytes of [offset, end), as many as lie inside the file.
  std::string ReadUpTo(int64_t offset, int64_t end, size_t cap) const {
    end = std::min(end, size_);
    if (offset < 0 || offset >= end) return {};
    std::string bytes(static_cast<size_t>(std::min<int64_t>(end - offset, static_cast<int64_t>(cap))), '\0');
    const int64_t got = ReadAt(fd_, bytes.data(), bytes.size(), offset);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
  }

 private:
  int fd_;
  int64_t size_;
};

// A text stored for people, without its padding: decoded as UTF-8 when it is, else in the
// machine's code page, as every other stored text.
std::u16string StoredText(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  while (!bytes.empty() && static_cast<uint8_t>(bytes.back()) <= ' ') bytes.remove_suffix(1);
  while (!bytes.empty() && static_cast<uint8_t>(bytes.front()) <= ' ') bytes.remove_prefix(1);
  return bytes.empty() ? std::u16string() : AnsiToText(bytes);
}

// ---- MP4, MOV, 3GP: boxes of a 32-bit size (1: a 64-bit size follows; 0: to the end) and a type.

struct Box {
  uint32_t type;
  int64_t start;  // the payload, after the header
  int64_t end;
};

// Calls `visit` for each box of [begin, end) until it returns false. A box claiming more than its
// parent holds is cut to the parent (a carved file often ends early); a header that does not fit,
// or a size smaller than its header, ends the level.
template <class Visit>
void ForEachBox(const FileBytes& file, int64_t begin, int64_t end, Visit visit) {
  int64_t at = begin;
  for (int step = 0; step < kStepsPerLevel && end - at >= 8; ++step) {
    uint8_t head[16];
    if (!file.Read(at, head, 8, end)) return;
    uint64_t size = LoadBe32(head);
    int64_t header = 8;
    if (size == 1) {
      if (!file.Read(at + 8, head + 8, 8, end)) return;
      size = LoadBe64(head + 8);
      header = 16;
    } else if (size == 0) {
      size = static_cast<uint64_t>(end - at);
    }
    if (size < static_cast<uint64_t>(header)) return;
    const int64_t boxEnd = size > static_cast<uint64_t>(end - at) ? end : at + static_cast<int64_t>(size);
    if (!visit(Box{LoadBe32(head + 4), at + header, boxEnd})) return;
    at = boxEnd;
  }
}

bool StartsMp4(uint32_t type) {
  switch (type) {
    case FourCc("ftyp"): case FourCc("moov"): case FourCc("mdat"): case FourCc("free"): case FourCc("skip"):
    case FourCc("wide"): case FourCc("pnot"):
      return true;
    default:
      return false;
  }
}

// What a movie box says.
struct MovieFacts {
  std::optional<StatedTime> headerTime;  // the movie header's creation time (UTC)
  std::optional<StatedTime> keyedTime;   // com.apple.quicktime.creationdate (a local time and its offset)
  std::u16string make, model;
};

void ReadMovieHeader(const FileBytes& file, const Box& box, MovieFacts& facts) {
  uint8_t head[12];
  if (!file.Read(box.start, head, 8, box.end)) return;
  uint64_t since1904 = LoadBe32(head + 4);
  if (head[0] == 1) {
    if (!file.Read(box.start, head, 12, box.end)) return;
    since1904 = LoadBe64(head + 4);
  } else if (head[0] != 0) {
    return;
  }
  // Far beyond any plausible date; kept out so the arithmetic cannot overflow.
  if (since1904 > (uint64_t{1} << 40)) return;
  facts.headerTime = StatedTime{static_cast<int64_t>(since1904) - kSecondsFrom1904To1970, 0};
}

// A user data text: QuickTime's (16-bit length, 16-bit language, the text) or, as MP4 writers
// keep it, a "data" box (type and locale, then the text).
std::u16string UserDataText(const FileBytes& file, const Box& box) {
  const std::string bytes = file.ReadUpTo(box.start, box.end, kTextBytes + 16);
  if (bytes.size() >= 16 && bytes.compare(4, 4, "data") == 0)
    return StoredText(std::string_view(bytes).substr(16));
  if (bytes.size() < 4) return {};
  const int64_t length = (static_cast<uint8_t>(bytes[0]) << 8) | static_cast<uint8_t>(bytes[1]);
  if (length > box.end - box.start - 4) return {};
  return StoredText(std::string_view(bytes).substr(4, std::min<size_t>(static_cast<size_t>(length), kTextBytes)));
}

void ReadMetadata(const FileBytes& file, const Box& meta, MovieFacts& facts);

void ReadUserData(const FileBytes& file, const Box& userData, MovieFacts& facts) {
  ForEachBox(file, userData.start, userData.end, [&](const Box& box) {
    if (box.type == kMakeText && facts.make.empty()) facts.make = UserDataText(file, box);
    if (box.type == kModelText && facts.model.empty()) facts.model = UserDataText(file, box);
    // Some writers keep the metadata keys in the user data rather than beside it.
    if (box.type == FourCc("meta")) ReadMetadata(file, box, facts);
    return true;
  });
}

// The value of an item of a QuickTime metadata item list: its "data" box's text.
std::string ItemValue(const FileBytes& file, const Box& item) {
  std::string value;
  ForEachBox(file, item.start, item.end, [&](const Box& box) {
    if (box.type != FourCc("data")) return true;
    const std::string bytes = file.ReadUpTo(box.start, box.end, kTextBytes + 8);
    // Type 1 is UTF-8 text; the 8 bytes are the type and the locale.
    if (bytes.size() > 8 && LoadBe32(reinterpret_cast<const uint8_t*>(bytes.data())) == 1) value = bytes.substr(8);
    return false;
  });
  return value;
}

// QuickTime metadata: a table of key names ("keys") and an item list ("ilst") whose items are
// numbered by their key's place in the table.
void ReadMetadata(const FileBytes& file, const Box& meta, MovieFacts& facts) {
  // The ISO form starts with a version and flags, QuickTime's with its handler box at once.
  const std::string probe = file.ReadUpTo(meta.start, meta.end, 12);
  const int64_t first = probe.size() >= 8 && probe.compare(4, 4, "hdlr") == 0 ? meta.start : meta.start + 4;
  std::optional<Box> items;
  uint32_t makeKey = 0, modelKey = 0, dateKey = 0;
  ForEachBox(file, first, meta.end, [&](const Box& box) {
    if (box.type == FourCc("ilst")) items = box;
    if (box.type != FourCc("keys")) return true;
    const std::string table = file.ReadUpTo(box.start, box.end, kKeysBytes);
    const auto* bytes = reinterpret_cast<const uint8_t*>(table.data());
    if (table.size() < 8) return true;
    const uint32_t count = LoadBe32(bytes + 4);
    size_t at = 8;
    for (uint32_t key = 1; key <= count && at + 8 <= table.size(); ++key) {
      const uint32_t size = LoadBe32(bytes + at);
      if (size < 8 || size > table.size() - at) break;
      const std::string_view name(table.data() + at + 8, size - 8);
      if (name == "com.apple.quicktime.make") makeKey = key;
      if (name == "com.apple.quicktime.model") modelKey = key;
      if (name == "com.apple.quicktime.creationdate") dateKey = key;
      at += size;
    }
    return true;
  });
  if (!items || (makeKey | modelKey | dateKey) == 0) return;
  ForEachBox(file, items->start, items->end, [&](const Box& item) {
    if (item.type == 0) return true;
    if (item.type == makeKey) facts.make = StoredText(ItemValue(file, item));
    if (item.type == modelKey) facts.model = StoredText(ItemValue(file, item));
    if (item.type == dateKey) {
      // "2019-06-01T14:22:05+0200": the local time and its offset.
      const std::string value = ItemValue(file, item);
      const std::optional<int64_t> clock = ParseDateTime(value);
      if (clock && value.size() > 19) {
        if (const std::optional<int32_t> offset = ParseUtcOffset(std::string_view(value).substr(19)))
          facts.keyedTime = StatedTime{*clock, *offset};
      }
    }
    return true;
  });
}

MediaFacts ReadMp4(const FileBytes& file) {
  MovieFacts movie;
  ForEachBox(file, 0, file.size(), [&](const Box& top) {
    if (top.type != FourCc("moov")) return true;
    ForEachBox(file, top.start, top.end, [&](const Box& box) {
      if (box.type == FourCc("mvhd") && !movie.headerTime) ReadMovieHeader(file, box, movie);
      if (box.type == FourCc("udta")) ReadUserData(file, box, movie);
      if (box.type == FourCc("meta")) ReadMetadata(file, box, movie);
      return true;
    });
    return false;  // a movie has one movie box
  });
  MediaFacts facts;
  facts.time = movie.keyedTime ? movie.keyedTime : movie.headerTime;
  facts.text = CameraText(std::move(movie.make), movie.model);
  return facts;
}

// ---- AVI: RIFF chunks (a four-letter id, a 32-bit little-endian size, the data padded to even).

// The IDIT chunk's text, as cameras write it: "Mon Mar 10 15:04:43 2003" or "2003:03:10 15:04:43".
std::optional<int64_t> ParseAviDate(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (std::optional<int64_t> clock = ParseDateTime(text)) return clock;
  static constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() < 24 || text[3] != ' ' || text[7] != ' ') return std::nullopt;
  unsigned month = 0;
  for (unsigned m = 0; m < kMonths.size(); ++m)
    if (text.substr(4, 3) == kMonths[m]) month = m + 1;
  // " 9" or "09" for the day; then "hh:mm:ss yyyy", rewritten in the EXIF form to be checked once.
  const char day0 = text[8] == ' ' ? '0' : text[8];
  if (month == 0 || text[10] != ' ' || text[19] != ' ') return std::nullopt;
  std::string exif = std::string(text.substr(20, 4)) + ":" + char('0' + month / 10) + char('0' + month % 10) + ":" +
                     day0 + text[9] + " " + std::string(text.substr(11, 8));
  return ParseDateTime(exif);
}

template <class Visit>
void ForEachChunk(const FileBytes& file, int64_t begin, int64_t end, Visit visit) {
  int64_t at = begin;
  for (int step = 0; step < kStepsPerLevel && end - at >= 8; ++step) {
    uint8_t head[12];
    if (!file.Read(at, head, 8, end)) return;
    const int64_t size = LoadLe32(head + 4);
    const int64_t chunkEnd = std::min(end, at + 8 + size);
    if (!visit(LoadBe32(head), at + 8, chunkEnd)) return;
    at = chunkEnd + (size & 1);
  }
}

MediaFacts ReadAvi(const FileBytes& file) {
  uint8_t head[12];
  if (!file.Read(0, head, 12, file.size()) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "AVI ", 4) != 0)
    return {};
  MediaFacts facts;
  const int64_t end = std::min<int64_t>(file.size(), 8 + int64_t{LoadLe32(head + 4)});
  const auto dateChunk = [&](uint32_t id, int64_t start, int64_t chunkEnd) {
    if (id == FourCc("IDIT") && !facts.time) {
      if (const std::optional<int64_t> clock = ParseAviDate(file.ReadUpTo(start, chunkEnd, kTextBytes)))
        facts.time = StatedTime{*clock, std::nullopt};
    }
    return true;
  };
  ForEachChunk(file, 12, end, [&](uint32_t id, int64_t start, int64_t chunkEnd) {
    if (id == FourCc("LIST")) {
      uint8_t type[4];
      // The header list holds the date; the frames after it are passed over by their size.
      if (file.Read(start, type, 4, chunkEnd) && std::memcmp(type, "hdrl", 4) == 0)
        ForEachChunk(file, start + 4, chunkEnd, dateChunk);
      return true;
    }
    return dateChunk(id, start, chunkEnd);
  });
  return facts;
}

// ---- Matroska and WebM: EBML elements (an id and a size, each of variable length).

struct Element {
  uint32_t id;
  int64_t start;  // the data
  int64_t end;    // the end of the data; the parent's end when the size is unknown
  bool sizeKnown;
};

// The element at `at` inside [at, end), or none when its header does not fit or is malformed.
std::optional<Element> ElementAt(const FileBytes& file, int64_t at, int64_t end) {
  uint8_t head[12];
  const size_t got = static_cast<size_t>(std::min<int64_t>(12, end - at));
  if (got < 2 || !file.Read(at, head, got, end)) return std::nullopt;
  const int idLength = head[0] >= 0x80 ? 1 : head[0] >= 0x40 ? 2 : head[0] >= 0x20 ? 3 : head[0] >= 0x10 ? 4 : 0;
  if (idLength == 0 || static_cast<size_t>(idLength) >= got) return std::nullopt;
  uint32_t id = 0;
  for (int i = 0; i < idLength; ++i) id = (id << 8) | head[i];
  const uint8_t first = head[idLength];
  int sizeLength = 1;
  while (sizeLength <= 8 && (first & (0x100 >> sizeLength)) == 0) ++sizeLength;
  if (sizeLength > 8 || static_cast<size_t>(idLength + sizeLength) > got) return std::nullopt;
  uint64_t size = first & ((0x100 >> sizeLength) - 1);
  bool allOnes = size == static_cast<uint64_t>((0x100 >> sizeLength) - 1);
  for (int i = 1; i < sizeLength; ++i) {
    size = (size << 8) | head[idLength + i];
    allOnes = allOnes && head[idLength + i] == 0xFF;
  }
  const int64_t start = at + idLength + sizeLength;
  if (allOnes) return Element{id, start, end, false};
  return Element{id, start, size > static_cast<uint64_t>(end - start) ? end : start + static_cast<int64_t>(size), true};
}

constexpr uint32_t kEbmlHeader = 0x1A45DFA3;
constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kSegmentInfo = 0x1549A966;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kDateUtc = 0x4461;

MediaFacts ReadMatroska(const FileBytes& file) {
  const std::optional<Element> header = ElementAt(file, 0, file.size());
  if (!header || header->id != kEbmlHeader || !header->sizeKnown) return {};
  const std::optional<Element> segment = ElementAt(file, header->end, file.size());
  if (!segment || segment->id != kSegment) return {};
  MediaFacts facts;
  int64_t at = segment->start;
  for (int step = 0; step < kStepsPerLevel; ++step) {
    const std::optional<Element> child = ElementAt(file, at, segment->end);
    // The frames come after the segment's information; an element of unknown size cannot be passed.
    if (!child || child->id == kCluster || !child->sizeKnown) break;
    if (child->id == kSegmentInfo) {
      int64_t inner = child->start;
      for (int k = 0; k < kStepsPerLevel; ++k) {
        const std::optional<Element> item = ElementAt(file, inner, child->end);
        if (!item || !item->sizeKnown) break;
        uint8_t value[8];
        if (item->id == kDateUtc && item->end - item->start == 8 && file.Read(item->start, value, 8, item->end)) {
          // Nanoseconds since 2001-01-01 00:00 UTC, signed.
          const auto nanoseconds = static_cast<int64_t>(LoadBe64(value));
          const int64_t seconds = nanoseconds / 1'000'000'000 - (nanoseconds % 1'000'000'000 < 0 ? 1 : 0);
          facts.time = StatedTime{kSecondsFrom1970To2001 + seconds, 0};
        }
        inner = item->end;
      }
      break;
    }
    at = child->end;
  }
  return facts;
}

}  // namespace

MediaFacts ReadVideoFacts(const std::filesystem::path& path) {
  const UniqueFd fd = OpenShared(path);
  if (!fd || KindOfOpenFile(fd.get()) != FileKind::Regular) return {};
  const FileBytes file(fd.get(), FileSize(fd.get()));
  uint8_t head[8];
  if (!file.Read(0, head, sizeof head, file.size())) return {};
  if (StartsMp4(LoadBe32(head + 4))) return ReadMp4(file);
  if (std::memcmp(head, "RIFF", 4) == 0) return ReadAvi(file);
  if (LoadBe32(head) == kEbmlHeader) return ReadMatroska(file);
  return {};
}

}  // namespace brenvik
