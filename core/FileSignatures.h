#pragma once
// The bytes that name a file format at the start of a file, in one place for every tool that
// judges files by their start: Invalid Files' header rule, the damage check's choice of checker
// and Extension's identification table. Each tool combines them by its own rules (which formats
// it knows, in which order, with which further checks); the bytes themselves live only here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace brenvik {

struct Signature {
  size_t offset;
  std::string_view bytes;
};

// True when `head` (a file's first bytes) holds the signature's bytes at its offset.
inline bool Matches(std::span<const uint8_t> head, Signature signature) {
  return head.size() >= signature.offset + signature.bytes.size() &&
         std::memcmp(head.data() + signature.offset, signature.bytes.data(), signature.bytes.size()) == 0;
}

namespace signature {
using namespace std::string_view_literals;

// Pictures.
inline constexpr Signature kJpeg{0, "\xFF\xD8\xFF"sv};
inline constexpr Signature kJpegJfif{0, "\xFF\xD8\xFF\xE0"sv};
inline constexpr Signature kJpegExif{0, "\xFF\xD8\xFF\xE1"sv};
inline constexpr Signature kPngStart{0, "\x89PNG"sv};
inline constexpr Signature kPng{0, "\x89PNG\r\n\x1A\n"sv};
inline constexpr Signature kGif{0, "GIF8"sv};
inline constexpr Signature kGif87a{0, "GIF87a"sv};
inline constexpr Signature kGif89a{0, "GIF89a"sv};
inline constexpr Signature kTiffLittleEndian{0, "II*"sv};  // plain TIFF and the camera raws on it
inline constexpr Signature kTiffBigEndian{0, "MM\0*"sv};
inline constexpr Signature kTiffBigEndianOrder{0, "MM"sv};  // the byte order mark alone
inline constexpr Signature kBmp{0, "BM"sv};
inline constexpr Signature kDicom{128, "DICM"sv};
inline constexpr Signature kPhotoshop{0, "8BPS"sv};
inline constexpr Signature kCanonCrw{6, "HEAPCCDR"sv};
inline constexpr Signature kFujiRaw{0, "FUJI"sv};
inline constexpr Signature kEpsBinary{0, "\xC5\xD0\xD3\xC6"sv};  // an EPS with a preview, as Illustrator saves it
inline constexpr Signature kAutoCad{0, "AC10"sv};

// Documents and databases.
inline constexpr Signature kPdf{0, "%PDF"sv};
inline constexpr Signature kRtf{0, "{\\rt"sv};
inline constexpr Signature kCompoundFile{0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv};  // Office 97-2003, Outlook
inline constexpr Signature kJetDatabase{4, "Standard"sv};  // Access, followed by one of these two
inline constexpr Signature kJetEngine{12, " Jet"sv};
inline constexpr Signature kAceEngine{12, " ACE"sv};
inline constexpr Signature kHtmlHelp{0, "ITSF"sv};

// Archives.
inline constexpr Signature kZipLocalHeader{0, "PK\x03\x04"sv};
inline constexpr Signature kRar{0, "Rar!"sv};
inline constexpr Signature kRarBlock{0, "Rar!\x1A\x07"sv};  // both generations' marker
inline constexpr Signature kSevenZip{0, "7z"sv};
inline constexpr Signature kGzipDeflate{0, "\x1F\x8B\x08"sv};

// Sound and video.
inline constexpr Signature kId3{0, "ID3"sv};
inline constexpr Signature kId3Mark{0, "ID"sv};  // the tag's first two letters
inline constexpr Signature kRiff{0, "RIFF"sv};
inline constexpr Signature kAvi{8, "AVI "sv};  // after kRiff
inline constexpr Signature kWave{8, "WAVE"sv};  // after kRiff
inline constexpr Signature kAmr{0, "#!AM"sv};
inline constexpr Signature kIsoMediaType{4, "ftyp"sv};  // MP4, MOV, 3GP...
inline constexpr Signature kIsoMediaData{4, "mdat"sv};
inline constexpr Signature kIsoMediaSkip{4, "skip"sv};
inline constexpr Signature kQuickTimeWide{4, "wide"sv};
inline constexpr Signature kQuickTimeFree{4, "free"sv};
inline constexpr Signature kFlash{0, "CWS"sv};
inline constexpr Signature kAsf{0, "\x30\x26\xB2\x75"sv};  // WMV, WMA
inline constexpr Signature kFlashVideo{0, "FLV"sv};
inline constexpr Signature kMxf{0, "\x06\x0E\x2B\x34\x02\x05\x01\x01"sv};

// Programs.
inline constexpr Signature kDosProgram{0, "MZ\x90\0"sv};

// An MPEG audio frame's sync with the version and layer bits writers use for MP3 and MP2.
inline bool IsMpegAudioFrameStart(std::span<const uint8_t> head) {
  if (head.size() < 2 || head[0] != 0xFF) return false;
  switch (head[1]) {
    case 0xE2: case 0xE3: case 0xF2: case 0xF3: case 0xFA: case 0xFB: return true;
    default: return false;
  }
}

}  // namespace signature
}  // namespace brenvik
