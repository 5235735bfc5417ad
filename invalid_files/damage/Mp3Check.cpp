// MP3: the chain of MPEG audio frames, each header giving the next one's place, from after an
// ID3v2 tag to the end, where an ID3v1, APE or Lyrics3 tag may close it; and, when other data
// follows, the frame count an encoder's Xing or Info frame states.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "mp3";
// Where a file's first frame is looked for, after its tag.
constexpr int64_t kFirstFrameSearch = 64 * 1024;
// Frames in a row that prove the chain goes on after a break (a stray sync is common in any data).
constexpr int kFramesToResync = 4;

struct Frame {
  uint8_t version = 0, layer = 0, rateIndex = 0;
  int64_t length = 0;
};

bool ParseFrame(const uint8_t* h, Frame& frame) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const uint8_t version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const uint8_t layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
  const uint8_t bitrateIndex = h[2] >> 4;
  const uint8_t rateIndex = (h[2] >> 2) & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
  static constexpr int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const int layerIndex = 3 - layer;  // 0: I, 1: II, 2: III
  const int64_t bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
  const int64_t rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const int64_t padding = (h[2] >> 1) & 1;
  if (layerIndex == 0) {
    frame.length = (12 * bitrate / rate + padding) * 4;
  } else {
    const int64_t factor = (layerIndex == 2 && !mpeg1) ? 72 : 144;
    frame.length = factor * bitrate / rate + padding;
  }
  frame.version = version;
  frame.layer = layer;
  frame.rateIndex = rateIndex;
  return frame.length >= 4;
}

bool SameStream(const Frame& a, const Frame& b) {
  return a.version == b.version && a.layer == b.layer && a.rateIndex == b.rateIndex;
}

class Chain {
 public:
  explicit Chain(const FileSource& file) : file_(file), window_(file) {}

  bool FrameAt(int64_t at, Frame& frame) {
    const uint8_t* h = window_.At(at, 4);
    return h != nullptr && ParseFrame(h, frame);
  }
  // Frames in a row from `at` like `first`, up to `wanted`.
  int RunAt(int64_t at, const Frame& first, int wanted) {
    int count = 0;
    Frame frame;
    while (count < wanted && FrameAt(at, frame) && SameStream(frame, first) && at + frame.length <= file_.size) {
      at += frame.length;
      ++count;
    }
    return count;
  }
  // The end of the closing tags at `at` (ID3v1, APE, Lyrics3, an appended ID3v2), or `at` when none.
  int64_t SkipTags(int64_t at) {
    for (;;) {
      const uint8_t* h = window_.At(at, 10);
      size_t got = 0;
      const uint8_t* rest = window_.Upto(at, 3, got);
      if (rest != nullptr && got == 3 && std::memcmp(rest, "TAG", 3) == 0 && file_.size - at >= 128) {
        at += 128;
      } else if (h != nullptr && std::memcmp(h, "APETAGEX", 8) == 0) {
        const uint8_t* footer = window_.At(at, 32);
        if (footer == nullptr) return at;
        const uint32_t size = footer[12] | footer[13] << 8 | footer[14] << 16 | uint32_t{footer[15]} << 24;
        at += 32 + static_cast<int64_t>(size);  // a header's size counts the items and the footer
      } else if (h != nullptr && std::memcmp(h, "LYRICSBEG", 9) == 0) {
        int64_t scan = at;
        for (; scan < file_.size; ++scan) {
          const uint8_t* end = window_.At(scan, 9);
          if (end == nullptr) return at;
          if (std::memcmp(end, "LYRICS200", 9) == 0 || std::memcmp(end, "LYRICSEND", 9) == 0) break;
        }
        if (scan >= file_.size) return at;
        at = scan + 9;
      } else if (h != nullptr && IsId3Header(h, 10)) {
        at += TagSize(h);
      } else {
        return at;
      }
    }
  }
  // The size of the ID3v2 tag whose header `h` is, with its footer.
  static int64_t TagSize(const uint8_t* h) {
    const int64_t body = (int64_t{h[6] & 0x7F} << 21) | (h[7] & 0x7F) << 14 | (h[8] & 0x7F) << 7 | (h[9] & 0x7F);
    return 10 + body + ((h[5] & 0x10) ? 10 : 0);
  }
  // The first place from `from` where `wanted` frames in a row begin, or -1.
  int64_t FindRun(int64_t from, int64_t until, const Frame* like, int wanted) {
    for (int64_t at = from; at + 4 <= until; ++at) {
      if ((at & 0xFFFF) == 0 && file_.Stopped()) return -1;
      size_t got = 0;
      const uint8_t* h = window_.Upto(at, 4, got);
      if (h == nullptr || got < 4) return -1;
      if (h[0] != 0xFF) continue;
      Frame frame;
      if (!ParseFrame(h, frame) || (like != nullptr && !SameStream(frame, *like))) continue;
      if (RunAt(at, frame, wanted) == wanted) return at;
    }
    return -1;
  }

 private:
  const FileSource& file_;
  WindowReader window_;
};

// True when what starts at `at` (after the zeros a tag's padding may run on with) is audio the
// frame chain cannot follow: another format behind an ID3 tag (AAC in ADTS frames, FLAC, Ogg,
// WAV, MP4 and the like), or MPEG audio in free format, whose headers state no bit rate.
bool OtherAudioAt(const FileSource& file, int64_t at) {
  WindowReader window(file);
  const int64_t until = std::min(file.size, at + kFirstFrameSearch);
  size_t got = 0;
  const uint8_t* bytes = window.Upto(at, static_cast<size_t>(std::max<int64_t>(0, until - at)), got);
  size_t i = 0;
  while (i < got && bytes[i] == 0) ++i;
  if (bytes == nullptr || got - i < 12) return false;
  const uint8_t* h = bytes + i;
  static constexpr std::string_view kSignatures[] = {"fLaC", "OggS", "RIFF", "FORM", "MAC ", "wvpk", "TTA1",
                                                     "MPCK", "MP+",  "#!AMR", ".snd", "\x30\x26\xB2\x75"};
  for (const std::string_view signature : kSignatures)
    if (std::memcmp(h, signature.data(), signature.size()) == 0) return true;
  if (std::memcmp(h + 4, "ftyp", 4) == 0) return true;
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const uint8_t layer = (h[1] >> 1) & 3, version = (h[1] >> 3) & 3;
  if (layer == 0 && (h[1] & 0xF0) == 0xF0) return true;  // ADTS: AAC
  const uint8_t bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3;
  return layer != 0 && version != 1 && bitrateIndex == 0 && rateIndex != 3;  // free format
}

// The number of audio frames an encoder's Xing or Info frame (the stream's first frame) states;
// -1 when the stream has none. Encoders differ on whether it counts that first frame itself.
int64_t StatedFrameCount(const FileSource& file, int64_t first, const Frame& frame) {
  uint8_t bytes[64] = {};
  if (!file.ReadExact(first, bytes, sizeof bytes)) return -1;
  // The tag follows the side information, whose length depends on the version and channels.
  for (const int at : {4 + 32, 4 + 17, 4 + 9}) {
    if (at + 12 > frame.length) continue;
    if (std::memcmp(bytes + at, "Xing", 4) != 0 && std::memcmp(bytes + at, "Info", 4) != 0) continue;
    if ((bytes[at + 7] & 1) == 0) return -1;  // the flags say no frame count is stored
    return int64_t{bytes[at + 8]} << 24 | int64_t{bytes[at + 9]} << 16 | int64_t{bytes[at + 10]} << 8 | bytes[at + 11];
  }
  return -1;
}

}  // namespace

bool IsId3Header(const uint8_t* head, size_t got) {
  return got >= 10 && std::memcmp(head, "ID3", 3) == 0 && head[3] >= 2 && head[3] <= 4 && head[4] != 0xFF &&
         (head[6] | head[7] | head[8] | head[9]) < 0x80;
}

IntegrityVerdict CheckMp3(const FileSource& file) {
  Chain chain(file);
  int64_t at = 0;
  uint8_t h[10];
  while (file.ReadExact(at, h, 10) && IsId3Header(h, 10)) at += Chain::TagSize(h);
  if (at > file.size) return IntegrityVerdict::Damaged(kType, "tag runs past the end of the file");
  if (OtherAudioAt(file, at)) return IntegrityVerdict::Unjudged();
  const int64_t first = chain.FindRun(at, std::min(file.size, at + kFirstFrameSearch), nullptr, 2);
  if (first < 0) {
    if (file.Stopped()) return IntegrityVerdict::Unjudged();
    return IntegrityVerdict::Damaged(kType, "no audio frames after the tag");
  }
  Frame stream;
  chain.FrameAt(first, stream);
  int64_t frames = 0;
  for (at = first;;) {
    Frame frame;
    if (!chain.FrameAt(at, frame) || !SameStream(frame, stream)) break;
    if (at + frame.length > file.size) return IntegrityVerdict::Damaged(kType, "data ends inside an audio frame");
    at += frame.length;
    if ((++frames & 0xFFF) == 0 && file.Stopped()) return IntegrityVerdict::Unjudged();
  }
  const int64_t end = chain.SkipTags(at);
  if (end >= file.size) return IntegrityVerdict::Whole();
  // Frames further on mean the chain was broken in the middle; none means other data follows.
  if (chain.FindRun(end, file.size, &stream, kFramesToResync) >= 0)
    return IntegrityVerdict::Damaged(kType, "frame chain breaks at byte " + std::to_string(at));
  if (file.Stopped()) return IntegrityVerdict::Unjudged();
  // Other data follows. When the chain holds fewer frames than its encoder wrote, the song was
  // cut at a frame boundary and run on into other data (a carving), not ended. A chain that ends
  // the file is left whole: editors that shorten a song often leave the count as it was.
  const int64_t stated = StatedFrameCount(file, first, stream);
  if (stated > 0 && frames < stated)
    return IntegrityVerdict::Damaged(kType, "audio ends before the length its first frame states");
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
