#pragma once
// What photos, songs and videos say about themselves, for names: when they were taken and who or
// what made them. The photo and music readers go through exiv2 and TagLib; the video containers
// (MP4/MOV/3GP, AVI, Matroska/WebM) are read by this program. Every reader takes a hostile file:
// a library's error, a size that points outside the file or a missing part means "no facts".
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// A recording time as the file states it.
struct StatedTime {
  int64_t clock = 0;                 // seconds since 1970-01-01 00:00 on the clock it was stated on
  std::optional<int32_t> utcOffset;  // seconds that clock runs ahead of UTC; none: a wall clock of unknown zone

  friend bool operator==(const StatedTime&, const StatedTime&) = default;
};

struct MediaFacts {
  std::optional<StatedTime> time;
  std::u16string text;  // the camera, or the song's artist and title; not yet cleaned for a name
};

// Photos (JPEG, TIFF, PNG, WebP, HEIF, camera raw formats): the time taken (DateTimeOriginal, else
// DateTimeDigitized, else DateTime, each with its own Offset tag where present) and the camera's
// make and model, the make left out when the model already starts with it.
MediaFacts ReadPhotoFacts(const std::filesystem::path& path);

// Songs (MP3, FLAC, Ogg Vorbis and Opus, M4A, WMA, WAV, AIFF, ...), recognised by their contents:
// "artist-title", else "album-track", else what there is of them. No time.
MediaFacts ReadMusicFacts(const std::filesystem::path& path);

// Videos, recognised by their contents: MP4/MOV/3GP (the QuickTime creation date where the
// container keeps one, else the movie header's creation time in UTC; the camera from the user
// data or the metadata keys), AVI (the IDIT chunk's wall clock) and Matroska/WebM (DateUTC).
MediaFacts ReadVideoFacts(const std::filesystem::path& path);

// "YYYY:MM:DD hh:mm:ss" (EXIF; "-", "/" or "T" separators accepted too) as seconds on its clock;
// none for anything else, a zero date or a field out of range.
std::optional<int64_t> ParseDateTime(std::string_view text);
// "+hh:mm", "-hh:mm", "+hhmm" or "Z" as seconds ahead of UTC (at most 14 hours), after a fraction
// of a second (".25") where one stands first; none otherwise.
std::optional<int32_t> ParseUtcOffset(std::string_view text);
// A camera's name from its make and model: the model alone when it starts with the make's first
// word ("Canon", "Canon EOS 5D"), else both with a space between.
std::u16string CameraText(std::u16string make, const std::u16string& model);
// Seconds since 1970-01-01 00:00 of a calendar date and time (no range check).
int64_t SecondsOfCivil(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

}  // namespace brenvik
