// Photo and song facts through exiv2 and TagLib, and the date and offset texts they store. Both
// libraries report a file they cannot read by throwing or by an empty result; either means no facts.
#include <exiv2/exiv2.hpp>
#include <taglib/fileref.h>
#include <taglib/infotag.h>
#include <taglib/tag.h>
#include <taglib/wavfile.h>

#include <cstdio>
#include <mutex>

#include "platform/CodePage.h"
#include "readers/MediaFacts.h"

namespace brenvik {
namespace {

constexpr int64_t kSecondsPerDay = 86'400;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number of `count` digits at `at`, or -1.
int Digits(std::string_view text, size_t at, size_t count) {
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || !IsDigit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

unsigned DaysInMonth(int year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// exiv2 writes its warnings to the standard error unless told not to, and wants its XMP parser
// set up once before threads use it.
void PrepareExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    Exiv2::enableBMFF(true);  // HEIF, AVIF and CR3 pictures
  });
}

template <class Data, class Key>
std::string ValueOf(const Data& data, const char* key) {
  const auto found = data.findKey(Key(key));
  return found == data.end() ? std::string() : found->toString();
}

std::u16string TagText(const TagLib::String& text) {
  const std::string utf8 = text.to8Bit(true);
  std::string_view trimmed(utf8);
  while (!trimmed.empty() && static_cast<uint8_t>(trimmed.back()) <= ' ') trimmed.remove_suffix(1);
  while (!trimmed.empty() && static_cast<uint8_t>(trimmed.front()) <= ' ') trimmed.remove_prefix(1);
  return trimmed.empty() ? std::u16string() : AnsiToText(trimmed);
}

std::u16string ExifText(const std::string& value) {
  std::string_view trimmed(value);
  trimmed = trimmed.substr(0, trimmed.find('\0'));
  while (!trimmed.empty() && static_cast<uint8_t>(trimmed.back()) <= ' ') trimmed.remove_suffix(1);
  while (!trimmed.empty() && static_cast<uint8_t>(trimmed.front()) <= ' ') trimmed.remove_prefix(1);
  return trimmed.empty() ? std::u16string() : AnsiToText(trimmed);
}

}  // namespace

int64_t SecondsOfCivil(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
  // Days since 1970-01-01 of a Gregorian date (the era-based conversion).
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t days = era * 146'097 + static_cast<int64_t>(dayOfEra) - 719'468;
  return days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

std::optional<int64_t> ParseDateTime(std::string_view text) {
  const auto dateSeparator = [](char c) { return c == ':' || c == '-' || c == '/'; };
  if (text.size() < 19 || !dateSeparator(text[4]) || text[7] != text[4] || (text[10] != ' ' && text[10] != 'T') ||
      text[13] != ':' || text[16] != ':')
    return std::nullopt;
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return std::nullopt;
  if (static_cast<unsigned>(day) > DaysInMonth(year, static_cast<unsigned>(month))) return std::nullopt;
  return SecondsOfCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(hour),
                        static_cast<unsigned>(minute), static_cast<unsigned>(second));
}

std::optional<int32_t> ParseUtcOffset(std::string_view text) {
  // A fraction of a second may stand between the time and its offset.
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    while (!text.empty() && IsDigit(text.front())) text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text == "Z") return 0;
  if (text.size() < 5 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  const bool colon = text[3] == ':';
  if (text.size() != (colon ? 6u : 5u)) return std::nullopt;
  const int hours = Digits(text, 1, 2), minutes = Digits(text, colon ? 4 : 3, 2);
  if (hours < 0 || minutes < 0 || minutes > 59 || hours * 60 + minutes > 14 * 60) return std::nullopt;
  const int32_t seconds = (hours * 60 + minutes) * 60;
  return text[0] == '-' ? -seconds : seconds;
}

std::u16string CameraText(std::u16string make, const std::u16string& model) {
  if (model.empty()) return make;
  if (make.empty()) return model;
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  const std::u16string_view brand = std::u16string_view(make).substr(0, make.find(u' '));
  if (model.size() >= brand.size() &&
      std::equal(brand.begin(), brand.end(), model.begin(), [&](char16_t a, char16_t b) { return lower(a) == lower(b); }))
    return model;
  return make + u' ' + model;
}

MediaFacts ReadPhotoFacts(const std::filesystem::path& path) {
  PrepareExiv2();
  MediaFacts facts;
  try {
    const Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path.native());
    if (!image.get()) return {};
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    // Each time has the offset tag of its own kind.
    static constexpr std::pair<const char*, const char*> kTimes[] = {
        {"Exif.Photo.DateTimeOriginal", "Exif.Photo.OffsetTimeOriginal"},
        {"Exif.Photo.DateTimeDigitized", "Exif.Photo.OffsetTimeDigitized"},
        {"Exif.Image.DateTime", "Exif.Photo.OffsetTime"},
    };
    for (const auto& [time, offset] : kTimes) {
      if (const std::optional<int64_t> clock = ParseDateTime(ValueOf<Exiv2::ExifData, Exiv2::ExifKey>(exif, time))) {
        facts.time = StatedTime{*clock, ParseUtcOffset(ValueOf<Exiv2::ExifData, Exiv2::ExifKey>(exif, offset))};
        break;
      }
    }
    // Pictures that keep their metadata as XMP alone: "2019-06-01T14:22:05+02:00".
    const Exiv2::XmpData& xmp = image->xmpData();
    for (const char* key : {"Xmp.exif.DateTimeOriginal", "Xmp.xmp.CreateDate"}) {
      if (facts.time) break;
      const std::string value = ValueOf<Exiv2::XmpData, Exiv2::XmpKey>(xmp, key);
      if (const std::optional<int64_t> clock = ParseDateTime(value))
        facts.time = StatedTime{*clock, ParseUtcOffset(std::string_view(value).substr(19))};
    }
    facts.text = CameraText(ExifText(ValueOf<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.Make")),
                            ExifText(ValueOf<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.Model")));
  } catch (...) {
    return {};
  }
  return facts;
}

MediaFacts ReadMusicFacts(const std::filesystem::path& path) {
  MediaFacts facts;
  try {
    // No audio properties: only the tags are wanted. TagLib finds the format from the contents.
    const TagLib::FileRef file(path.c_str(), false);
    const TagLib::Tag* tag = file.isNull() ? nullptr : file.tag();
    if (tag == nullptr) return {};
    // A WAV file's tag here is its ID3 chunk alone; most writers keep their tags in its INFO list.
    if (const auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file.file()); wav != nullptr && tag->isEmpty()) {
      if (auto* riff = const_cast<TagLib::RIFF::WAV::File*>(wav); riff->hasInfoTag()) tag = riff->InfoTag();
    }
    const std::u16string artist = TagText(tag->artist()), title = TagText(tag->title());
    const std::u16string album = TagText(tag->album());
    if (!title.empty()) {
      facts.text = artist.empty() ? title : artist + u'-' + title;
    } else if (!album.empty()) {
      facts.text = album;
      if (const unsigned track = tag->track(); track > 0 && track < 10000) {
        char number[8];
        std::snprintf(number, sizeof number, "-%02u", track);
        facts.text.append(number, number + std::char_traits<char>::length(number));
      }
    } else {
      facts.text = artist;
    }
  } catch (...) {
    return {};
  }
  return facts;
}

}  // namespace brenvik
