#include "extension/FurtherFileTypes.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ByteOrder.h"
#include "platform/FileOps.h"

namespace brenvik {
namespace {

using Names = std::span<const std::string_view>;

// The names that fit each type: its usual extension first, then its variants.
constexpr std::string_view kGzip[] = {"gz", "tgz", "gzip", "emz", "svgz", "wmz"};
constexpr std::string_view kXz[] = {"xz", "txz"};
constexpr std::string_view kBzip2[] = {"bz2", "tbz2", "tbz", "bz"};
constexpr std::string_view kZstd[] = {"zst", "zstd", "tzst"};
constexpr std::string_view kTar[] = {"tar", "ova", "cbt", "gem"};
constexpr std::string_view kFlac[] = {"flac"};
constexpr std::string_view kOggVorbis[] = {"ogg", "oga", "ogx"};
constexpr std::string_view kOpus[] = {"opus", "ogg", "oga", "ogx"};
constexpr std::string_view kOggVideo[] = {"ogv", "ogg", "ogx"};
constexpr std::string_view kSpeex[] = {"spx", "ogg", "oga", "ogx"};
constexpr std::string_view kOggOther[] = {"oga", "ogg", "ogx"};
constexpr std::string_view kMatroska[] = {"mkv", "mka", "mks", "mk3d", "webm"};
constexpr std::string_view kWebm[] = {"webm", "mkv", "mka"};
constexpr std::string_view kSqlite[] = {"sqlite", "sqlite3", "db", "db3", "sdb", "s3db", "sl3", "sqlitedb", "gpkg",
                                        "mbtiles"};
constexpr std::string_view kPst[] = {"pst", "ost"};
constexpr std::string_view kExecutable[] = {"exe", "dll", "sys", "ocx", "cpl", "scr", "drv", "efi", "mui", "ax", "acm"};
constexpr std::string_view kElf[] = {"elf", "so", "o", "ko", "bin", "out", "axf", "prx"};
constexpr std::string_view kTrueType[] = {"ttf", "tte"};
constexpr std::string_view kOpenType[] = {"otf"};
constexpr std::string_view kWoff[] = {"woff"};
constexpr std::string_view kWoff2[] = {"woff2"};
constexpr std::string_view kFontCollection[] = {"ttc", "otc"};
constexpr std::string_view kIso[] = {"iso", "udf"};
constexpr std::string_view kVhd[] = {"vhd"};
constexpr std::string_view kVhdx[] = {"vhdx", "avhdx"};
constexpr std::string_view kVmdk[] = {"vmdk"};
constexpr std::string_view kQcow[] = {"qcow2", "qcow", "img"};
constexpr std::string_view kVdi[] = {"vdi"};
// Text of every kind: a text file under any of these names is named well enough, whatever its
// markup, so a correct name is never made worse.
constexpr std::string_view kText[] = {
    "txt",  "text", "log",  "csv",   "tsv",    "md",    "markdown", "rst",   "ini",  "cfg",  "conf", "config",
    "inf",  "nfo",  "diz",  "lst",   "me",     "srt",   "sub",      "vtt",   "ass",  "ssa",  "lrc",  "tex",
    "bib",  "sty",  "cls",  "c",     "h",      "cc",    "cpp",      "cxx",   "hpp",  "hh",   "java", "cs",
    "py",   "pl",   "pm",   "rb",    "php",    "js",    "mjs",      "ts",    "css",  "scss", "less", "sh",
    "bash", "bat",  "cmd",  "ps1",   "vbs",    "sql",   "json",     "jsonl", "ndjson", "geojson", "xml", "xsd",
    "xsl",  "xslt", "html", "htm",   "xhtml",  "shtml", "svg",      "yaml",  "yml",  "toml", "properties",
    "reg",  "eml",  "mbox", "mht",   "mhtml",  "ics",   "vcf",      "kml",   "gpx",  "plist", "rss", "atom",
    "opml", "url",  "desktop", "po", "pot",    "diff",  "patch",    "asm",   "s",    "go",   "rs",   "swift",
    "kt",   "lua",  "r",    "m",     "mk",     "cmake", "gradle",   "dtd",   "wsdl", "resx", "xaml", "csproj",
    "sln",  "m3u",  "m3u8", "pls",   "cue",    "asp",   "aspx",     "jsp",   "rtf",  "xul",  "manifest"};

FileType Typed(std::string_view extension, Names names) { return {extension, names}; }

bool Starts(const uint8_t* bytes, std::string_view text, size_t at = 0) {
  return std::memcmp(bytes + at, text.data(), text.size()) == 0;
}

// A tar header's checksum: the sum of its 512 bytes with the checksum field taken as blanks,
// written in octal in that field.
bool TarChecksumHolds(const uint8_t* h) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += i >= 148 && i < 156 ? ' ' : h[i];
  uint32_t stated = 0;
  size_t i = 148;
  while (i < 156 && h[i] == ' ') ++i;
  const size_t digitsFrom = i;
  for (; i < 156 && h[i] >= '0' && h[i] <= '7'; ++i) stated = stated * 8 + static_cast<uint32_t>(h[i] - '0');
  return i > digitsFrom && (i == 156 || h[i] == 0 || h[i] == ' ') && stated == sum && h[0] != 0;
}

FileType OggType(const uint8_t* h) {
  // The first page's first packet names the codec; it starts after the 27-byte page header and
  // its segment table.
  const size_t at = 27 + size_t{h[26]};
  if (at + 8 > 512) return Typed("ogg", kOggVorbis);
  if (Starts(h, "\x01vorbis", at)) return Typed("ogg", kOggVorbis);
  if (Starts(h, "OpusHead", at)) return Typed("opus", kOpus);
  if (Starts(h, "\x80theora", at)) return Typed("ogv", kOggVideo);
  if (Starts(h, "Speex   ", at)) return Typed("spx", kSpeex);
  return Typed("oga", kOggOther);
}

FileType MatroskaType(const uint8_t* h, size_t headerBytes) {
  // The EBML header's DocType element (0x4282): a one-byte size, then "webm" or "matroska".
  for (size_t i = 4; i + 7 < headerBytes && i < 64; ++i) {
    if (h[i] != 0x42 || h[i + 1] != 0x82) continue;
    const size_t size = h[i + 2] & 0x7F;
    if ((h[i + 2] & 0x80) != 0 && size == 4 && Starts(h, "webm", i + 3)) return Typed("webm", kWebm);
    break;
  }
  return Typed("mkv", kMatroska);
}

// The file beyond its first bytes, read only where it holds the bytes asked for.
struct OpenFile {
  int fd;          // below 0: none
  int64_t length;  // negative when unknown
};

// `count` bytes at `offset`: from the header when they lie in it, else read from the file.
bool BytesAt(OpenFile file, const uint8_t* header, size_t headerBytes, int64_t offset, uint8_t* out, size_t count) {
  if (offset < 0) return false;
  if (static_cast<uint64_t>(offset) + count <= headerBytes) {
    std::memcpy(out, header + offset, count);
    return true;
  }
  if (file.fd < 0 || (file.length >= 0 && offset + static_cast<int64_t>(count) > file.length)) return false;
  return ReadAt(file.fd, out, count, offset) == static_cast<int64_t>(count);
}

FileType ProgramType(OpenFile file, const uint8_t* h, size_t headerBytes) {
  if (Starts(h, "MZ")) {
    // A Portable Executable: its "PE" header where the DOS header points.
    const uint32_t peAt = LoadU32(h + 0x3C);
    uint8_t pe[24] = {};
    if (peAt >= 0x40 && peAt <= (1u << 16) && BytesAt(file, h, headerBytes, peAt, pe, sizeof pe) &&
        Starts(pe, std::string_view("PE\0\0", 4)))
      return Typed((LoadU16(pe + 22) & 0x2000) != 0 ? "dll" : "exe", kExecutable);
    return {};
  }
  if (Starts(h, "\x7F" "ELF") && (h[4] == 1 || h[4] == 2) && (h[5] == 1 || h[5] == 2) && h[6] == 1) {
    const uint16_t type = h[5] == 1 ? LoadU16(h + 16) : static_cast<uint16_t>(h[16] << 8 | h[17]);
    return Typed(type == 1 ? "o" : type == 3 ? "so" : "elf", kElf);
  }
  return {};
}

FileType FontType(const uint8_t* h, size_t headerBytes) {
  if (Starts(h, "wOFF")) return Typed("woff", kWoff);
  if (Starts(h, "wOF2")) return Typed("woff2", kWoff2);
  if (Starts(h, "ttcf") && (h[4] == 0 && (h[5] == 1 || h[5] == 2))) return Typed("ttc", kFontCollection);
  const bool trueType = Starts(h, std::string_view("\0\1\0\0", 4)) || Starts(h, "true");
  if (!trueType && !Starts(h, "OTTO")) return {};
  // A table count writers use, and a first table tag of four printable letters.
  const uint16_t tables = static_cast<uint16_t>(h[4] << 8 | h[5]);
  if (tables == 0 || tables > 64 || headerBytes < 16) return {};
  for (size_t i = 12; i < 16; ++i)
    if (h[i] < 0x20 || h[i] > 0x7E) return {};
  return trueType ? Typed("ttf", kTrueType) : Typed("otf", kOpenType);
}

FileType DiskImageType(OpenFile file, const uint8_t* h, size_t headerBytes) {
  if (Starts(h, "conectix")) return Typed("vhd", kVhd);
  if (Starts(h, "vhdxfile")) return Typed("vhdx", kVhdx);
  if (Starts(h, "KDMV") || Starts(h, "# Disk DescriptorFile")) return Typed("vmdk", kVmdk);
  if (Starts(h, "QFI\xFB")) return Typed(h[7] == 1 ? "qcow" : "qcow2", kQcow);
  if (headerBytes >= 0x44 && LoadU32(h + 0x40) == 0xBEDA107Fu) return Typed("vdi", kVdi);
  // ISO 9660 and UDF: a volume descriptor in the 17th 2 KiB sector.
  uint8_t descriptor[6] = {};
  if (BytesAt(file, h, headerBytes, 0x8000, descriptor, sizeof descriptor) &&
      (Starts(descriptor, "CD001", 1) || Starts(descriptor, "BEA01", 1)))
    return Typed("iso", kIso);
  return {};
}

bool IsTextControl(uint32_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B; }

// The text's characters narrowed to bytes (others become 'x') for the markup rules, or false when
// the bytes are not text: UTF-16 after its byte-order mark, else UTF-8 or an 8-bit code page, with
// no control character but tab, line ends, form feed and escape.
bool NarrowText(const uint8_t* h, size_t headerBytes, std::string& text) {
  text.clear();
  if (headerBytes >= 2 && ((h[0] == 0xFF && h[1] == 0xFE) || (h[0] == 0xFE && h[1] == 0xFF))) {
    const bool little = h[0] == 0xFF;
    for (size_t i = 2; i + 1 < headerBytes; i += 2) {
      const uint32_t unit = little ? LoadU16(h + i) : static_cast<uint32_t>(h[i] << 8 | h[i + 1]);
      if (unit == 0 || IsTextControl(unit)) return false;
      text.push_back(unit < 0x80 ? static_cast<char>(unit) : 'x');
    }
    return headerBytes >= 4;
  }
  size_t at = headerBytes >= 3 && Starts(h, "\xEF\xBB\xBF") ? 3 : 0;
  bool validUtf8 = true;
  for (size_t i = at; i < headerBytes;) {
    const uint8_t c = h[i];
    if (c == 0 || IsTextControl(c) || c == 0x7F) return false;
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    bool whole = length != 0 && i + length <= headerBytes;
    for (size_t k = 1; whole && k < length; ++k) whole = (h[i + k] & 0xC0) == 0x80;
    // The read limit may cut the last character.
    const bool cut = length != 0 && i + length > headerBytes && headerBytes == 512;
    if (!whole && !cut) validUtf8 = false;
    text.push_back('x');
    i += whole ? length : 1;
  }
  if (text.empty()) return false;
  // Bytes that are not UTF-8 are text of a code page only over enough of them to tell them from
  // other data, which would hold control bytes.
  return validUtf8 || headerBytes >= 128;
}

bool StartsNoCase(std::string_view text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (size_t i = 0; i < start.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != start[i]) return false;
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find(part) != std::string::npos;
}

// Mail: a header block of known fields ("Received:", "From:", ...) from the first line on, or an
// mbox's "From " line.
bool LooksLikeMail(std::string_view text) {
  static constexpr std::string_view kFields[] = {"received:", "return-path:", "from:", "to:", "subject:", "date:",
                                                 "message-id:", "mime-version:", "delivered-to:", "x-", "reply-to:",
                                                 "cc:", "content-type:", "dkim-signature:", "authentication-results:"};
  int fields = 0;
  for (size_t line = 0; line < text.size() && fields < 2;) {
    const std::string_view rest = text.substr(line);
    bool known = false;
    for (const std::string_view field : kFields) known = known || StartsNoCase(rest, field);
    if (!known) break;
    ++fields;
    const size_t end = text.find('\n', line);
    if (end == std::string_view::npos) break;
    line = end + 1;
    while (line < text.size() && (text[line] == ' ' || text[line] == '\t')) {  // a folded field
      const size_t next = text.find('\n', line);
      if (next == std::string_view::npos) return fields >= 2;
      line = next + 1;
    }
  }
  return fields >= 2;
}

FileType TextType(const uint8_t* h, size_t headerBytes) {
  std::string text;
  if (!NarrowText(h, headerBytes, text)) return {};
  const std::string_view all(text);
  const std::string_view start = all.substr(std::min(all.find_first_not_of(" \t\r\n\f"), all.size()));
  if (StartsNoCase(start, "<?xml")) {
    if (ContainsNoCase(all, "<svg")) return Typed("svg", kText);
    if (ContainsNoCase(all, "<html")) return Typed("html", kText);
    return Typed("xml", kText);
  }
  if (StartsNoCase(start, "<!doctype html") || StartsNoCase(start, "<html") || StartsNoCase(start, "<head"))
    return Typed("html", kText);
  if (StartsNoCase(start, "<svg")) return Typed("svg", kText);
  if (!start.empty() && (start[0] == '{' || start[0] == '[')) {
    const size_t next = start.find_first_not_of(" \t\r\n", 1);
    const char c = next == std::string_view::npos ? 0 : start[next];
    const bool object = start[0] == '{' && (c == '"' || c == '}');
    const bool array = start[0] == '[' && (c == '{' || c == '[' || c == '"' || c == ']' || c == '-' || (c >= '0' && c <= '9'));
    if (object || array) return Typed("json", kText);
  }
  if (LooksLikeMail(all)) return Typed("eml", kText);
  if (StartsNoCase(all, "from ") && all.find('@') != std::string_view::npos && all.find('@') < all.find('\n'))
    return Typed("mbox", kText);
  return Typed("txt", kText);
}

FileType BinaryType(OpenFile file, const uint8_t* h, size_t headerBytes) {
  if (headerBytes < 4) return {};
  if (h[0] == 0x1F && h[1] == 0x8B && h[2] == 0x08 && (h[3] & 0xE0) == 0 && headerBytes >= 18) return Typed("gz", kGzip);
  if (Starts(h, std::string_view("\xFD" "7zXZ\0", 6)) && h[6] == 0 && (h[7] & 0xF0) == 0) return Typed("xz", kXz);
  if (Starts(h, "BZh") && h[3] >= '1' && h[3] <= '9' &&
      (Starts(h, "\x31\x41\x59\x26\x53\x59", 4) || Starts(h, "\x17\x72\x45\x38\x50\x90", 4)))
    return Typed("bz2", kBzip2);
  if (Starts(h, "\x28\xB5\x2F\xFD") && (h[4] & 0x08) == 0) return Typed("zst", kZstd);
  if (headerBytes == 512 && (Starts(h, "ustar", 257) || h[257] == 0) && TarChecksumHolds(h)) return Typed("tar", kTar);
  if (Starts(h, "fLaC") && (h[4] & 0x7F) == 0 && h[5] == 0 && h[6] == 0 && h[7] == 34) return Typed("flac", kFlac);
  if (Starts(h, "OggS") && h[4] == 0 && (h[5] & 0x02) != 0) return OggType(h);
  if (Starts(h, "\x1A\x45\xDF\xA3")) return MatroskaType(h, headerBytes);
  if (Starts(h, std::string_view("SQLite format 3\0", 16))) return Typed("sqlite", kSqlite);
  if (Starts(h, "!BDN") && Starts(h, "SM", 8)) return Typed("pst", kPst);
  if (FileType program = ProgramType(file, h, headerBytes); program.recognised()) return program;
  if (FileType font = FontType(h, headerBytes); font.recognised()) return font;
  return DiskImageType(file, h, headerBytes);
}

}  // namespace

FileType FurtherFileType(int fd, int64_t length, const uint8_t* header, size_t headerBytes) {
  headerBytes = std::min<size_t>(headerBytes, 512);
  if (FileType binary = BinaryType({fd, length}, header, headerBytes); binary.recognised()) return binary;
  return TextType(header, headerBytes);
}

}  // namespace brenvik
