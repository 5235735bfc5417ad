#include "extension/FileTypeVariants.h"

#include <algorithm>
#include <array>
#include <string>

#include "readers/ZipArchive.h"
#include "readers/ZipDirectory.h"

namespace brenvik {
namespace {

using Names = std::span<const std::string_view>;

constexpr std::string_view kJpeg[] = {"jpg", "jpeg", "jpe", "jfif"};
// Little- and big-endian TIFF structures: plain TIFF and the camera raw formats built on it.
constexpr std::string_view kTiff[] = {"cr2", "nef", "tif", "tiff", "dng", "arw", "srf", "sr2", "pef",
                                      "nrw", "3fr", "erf", "kdc", "dcr", "mos", "iiq", "mef"};
constexpr std::string_view kHtml[] = {"htm", "html"};
constexpr std::string_view kIsoMedia[] = {"mp4", "m4a", "m4v", "m4b", "m4p", "m4r", "mov", "qt",
                                          "3gp", "3g2", "f4v", "f4a", "heic", "heif", "avif"};
constexpr std::string_view kRiff[] = {"cdr", "webp", "ani", "rmi", "dls", "sf2", "qcp", "cmx"};
constexpr std::string_view kAvi[] = {"avi", "divx"};
constexpr std::string_view kPdf[] = {"pdf", "ai"};  // Illustrator saves PDF-compatible files
constexpr std::string_view kEps[] = {"ai", "eps", "epsf", "epsi"};
constexpr std::string_view kAccess[] = {"mdb", "accdb", "mde", "accde", "mda", "accda", "mdw"};
constexpr std::string_view kMpegAudio[] = {"mp3", "mp2", "mpa", "mpga", "aac"};
constexpr std::string_view kAsf[] = {"asf", "wmv", "wma"};
constexpr std::string_view kExecutable[] = {"dll", "exe", "sys", "ocx", "cpl", "scr", "drv", "efi", "mui", "ax", "acm"};
constexpr std::string_view kPsd[] = {"psd", "psb"};
constexpr std::string_view kBmp[] = {"bmp", "dib"};
constexpr std::string_view kDicom[] = {"dcm", "dicom", "dic"};
constexpr std::string_view kDwg[] = {"dwg", "dwt"};
constexpr std::string_view kRar[] = {"rar", "cbr"};
constexpr std::string_view k7z[] = {"7z", "cb7"};
// Compound files, by the application their top streams name: Word opens no workbook named .doc,
// so only the names of that application fit.
constexpr std::string_view kWordBinary[] = {"doc", "dot", "wbk", "wiz"};
constexpr std::string_view kExcelBinary[] = {"xls", "xlt", "xla", "xlw"};
constexpr std::string_view kPowerPointBinary[] = {"ppt", "pot", "pps", "ppa"};
constexpr std::string_view kMessage[] = {"msg", "oft"};
// A compound file whose top streams name none of them (a publication or drawing that embeds a
// Word or Excel object, or a directory whose tree is damaged): the probe named an embedded
// stream, so any compound-file name may be the right one.
constexpr std::string_view kCompound[] = {"doc", "dot", "wbk", "wiz", "xls", "xlt", "xla", "xlw", "ppt", "pot", "pps",
                                          "ppa", "msg", "oft", "pub", "vsd", "vss", "vst", "mpp", "mpt", "wps"};
// Every format built on zip, for a zip whose entries name nothing more precise.
constexpr std::string_view kZip[] = {
    "zip",  "jar",  "war",  "ear",  "sar",  "aar",  "apk",  "xpi",  "epub", "odt",  "ott",  "ods",  "ots",
    "odp",  "otp",  "odg",  "otg",  "odf",  "otf",  "odc",  "otc",  "odb",  "odi",  "oti",  "odm",  "otm",
    "oth",  "sxw",  "sxc",  "sxi",  "sxd",  "docx", "docm", "dotx", "dotm", "xlsx", "xlsm", "xltx", "xltm",
    "xlsb", "xlam", "pptx", "pptm", "potx", "potm", "ppsx", "ppsm", "ppam", "vsdx", "vstx", "vssx", "kmz",
    "cbz",  "ipa",  "whl",  "nupkg", "vsix", "xap", "appx", "msix", "3mf",  "oxt",  "ora",  "kra",  "xmind"};
// A Java archive is an ordinary zip with an optional manifest, so .zip names it correctly too.
constexpr std::string_view kJava[] = {"jar", "war", "ear", "sar", "aar", "apk", "xpi", "nbm", "hpi", "jpi", "zip"};
// Office Open XML packages whose main part's content type could not be read.
constexpr std::string_view kWordPackage[] = {"docx", "docm", "dotx", "dotm"};
constexpr std::string_view kExcelPackage[] = {"xlsx", "xlsm", "xltx", "xltm", "xlsb", "xlam"};
constexpr std::string_view kPowerPointPackage[] = {"pptx", "pptm", "potx", "potm", "ppsx", "ppsm", "ppam"};
// OpenDocument: a document and its template open alike.
constexpr std::string_view kOdText[] = {"odt", "ott"};
constexpr std::string_view kOdMaster[] = {"odm", "otm"};
constexpr std::string_view kOdSpreadsheet[] = {"ods", "ots"};
constexpr std::string_view kOdPresentation[] = {"odp", "otp"};
constexpr std::string_view kOdGraphics[] = {"odg", "otg"};
constexpr std::string_view kOdFormula[] = {"odf", "otf"};
constexpr std::string_view kOdChart[] = {"odc", "otc"};
constexpr std::string_view kOdImage[] = {"odi", "oti"};

struct Family {
  std::string_view type;
  Names variants;
};

constexpr Family kFamilies[] = {
    {"jpg", kJpeg},       {"cr2", kTiff},         {"nef", kTiff},       {"htm", kHtml},
    {"html", kHtml},      {"mp4", kIsoMedia},     {"cdr", kRiff},       {"avi", kAvi},
    {"pdf", kPdf},        {"ai", kEps},           {"mdb", kAccess},     {"accdb", kAccess},
    {"mp3", kMpegAudio},  {"asf", kAsf},          {"dll", kExecutable}, {"psd", kPsd},
    {"bmp", kBmp},        {"dcm", kDicom},        {"dwg", kDwg},        {"rar", kRar},
    {"7z", k7z},          {"doc", kWordBinary},   {"dot", kWordBinary}, {"xls", kExcelBinary},
    {"ppt", kPowerPointBinary}, {"msg", kMessage}, {"zip", kZip},          {"jar", kJava},       {"apk", kJava},
    {"docx", kWordPackage}, {"xlsx", kExcelPackage}, {"pptx", kPowerPointPackage},
    {"odt", kOdText},     {"ott", kOdText},       {"odm", kOdMaster},   {"otm", kOdMaster},
    {"ods", kOdSpreadsheet}, {"ots", kOdSpreadsheet}, {"odp", kOdPresentation}, {"otp", kOdPresentation},
    {"odg", kOdGraphics}, {"otg", kOdGraphics},   {"odf", kOdFormula},  {"otf", kOdFormula},
    {"odc", kOdChart},    {"otc", kOdChart},      {"odi", kOdImage},    {"oti", kOdImage},
};

// The "mimetype" entry of OpenDocument files and EPUB books names their kind exactly.
struct MimeType {
  std::string_view mimeType;
  std::string_view extension;
};
constexpr MimeType kMimeTypes[] = {
    {"application/vnd.oasis.opendocument.text", "odt"},
    {"application/vnd.oasis.opendocument.text-template", "ott"},
    {"application/vnd.oasis.opendocument.text-master", "odm"},
    {"application/vnd.oasis.opendocument.text-master-template", "otm"},
    {"application/vnd.oasis.opendocument.text-web", "oth"},
    {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
    {"application/vnd.oasis.opendocument.spreadsheet-template", "ots"},
    {"application/vnd.oasis.opendocument.presentation", "odp"},
    {"application/vnd.oasis.opendocument.presentation-template", "otp"},
    {"application/vnd.oasis.opendocument.graphics", "odg"},
    {"application/vnd.oasis.opendocument.graphics-template", "otg"},
    {"application/vnd.oasis.opendocument.formula", "odf"},
    {"application/vnd.oasis.opendocument.formula-template", "otf"},
    {"application/vnd.oasis.opendocument.chart", "odc"},
    {"application/vnd.oasis.opendocument.chart-template", "otc"},
    {"application/vnd.oasis.opendocument.image", "odi"},
    {"application/vnd.oasis.opendocument.image-template", "oti"},
    {"application/vnd.oasis.opendocument.base", "odb"},
    {"application/epub+zip", "epub"},
};

// Main-part content types of Office Open XML packages, in lower case. Office refuses a package
// whose extension does not match this type (an .xlsm named .xlsx), so each names one extension.
struct MainContentType {
  std::string_view contentType;
  std::string_view extension;
  std::string_view application;  // the type the first bytes give its packages
};
constexpr MainContentType kMainContentTypes[] = {
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml", "docx", "docx"},
    {"application/vnd.ms-word.document.macroenabled.main+xml", "docm", "docx"},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.template.main+xml", "dotx", "docx"},
    {"application/vnd.ms-word.template.macroenabledtemplate.main+xml", "dotm", "docx"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml", "xlsx", "xlsx"},
    {"application/vnd.ms-excel.sheet.macroenabled.main+xml", "xlsm", "xlsx"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml", "xltx", "xlsx"},
    {"application/vnd.ms-excel.template.macroenabled.main+xml", "xltm", "xlsx"},
    {"application/vnd.ms-excel.addin.macroenabled.main+xml", "xlam", "xlsx"},
    {"application/vnd.ms-excel.sheet.binary.macroenabled.main", "xlsb", "xlsx"},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml", "pptx", "pptx"},
    {"application/vnd.ms-powerpoint.presentation.macroenabled.main+xml", "pptm", "pptx"},
    {"application/vnd.openxmlformats-officedocument.presentationml.slideshow.main+xml", "ppsx", "pptx"},
    {"application/vnd.ms-powerpoint.slideshow.macroenabled.main+xml", "ppsm", "pptx"},
    {"application/vnd.openxmlformats-officedocument.presentationml.template.main+xml", "potx", "pptx"},
    {"application/vnd.ms-powerpoint.template.macroenabled.main+xml", "potm", "pptx"},
    {"application/vnd.ms-powerpoint.addin.macroenabled.main+xml", "ppam", "pptx"},
};

constexpr uint64_t kMimeTypeCap = 256;
constexpr uint64_t kContentTypesCap = 1 << 20;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The entries of a package that tell its kind.
struct PackageClues {
  std::string mimeType;
  std::string contentTypes;  // lower case
  bool javaManifest = false;
  bool androidManifest = false;
  bool dalvikCode = false;
};

// Takes the entries of a package in directory order, reading the two that name its kind. Only the
// first entry of each name is read, so repeated entries cost no more inflating.
class ClueCollector {
 public:
  // With `contentTypesOnly`, the walk ends at "[Content_Types].xml" (Office writes it first).
  explicit ClueCollector(bool contentTypesOnly) : contentTypesOnly_(contentTypesOnly) {}

  // `read(cap, contents)` inflates the entry. False when the walk may end here.
  template <typename Read>
  bool Take(std::string_view name, Read&& read) {
    if (name == "mimetype" && !mimeTypeRead_) {
      mimeTypeRead_ = true;
      if (!read(kMimeTypeCap, clues.mimeType)) clues.mimeType.clear();
    } else if (name == "[Content_Types].xml" && !contentTypesRead_) {
      contentTypesRead_ = true;
      if (!read(kContentTypesCap, clues.contentTypes)) clues.contentTypes.clear();
      std::transform(clues.contentTypes.begin(), clues.contentTypes.end(), clues.contentTypes.begin(), AsciiLower);
      if (contentTypesOnly_) return false;
    } else if (name == "META-INF/MANIFEST.MF") {
      clues.javaManifest = true;
    } else if (name == "AndroidManifest.xml") {
      clues.androidManifest = true;
    } else if (name == "classes.dex") {
      clues.dalvikCode = true;
    }
    return true;
  }

  PackageClues clues;

 private:
  const bool contentTypesOnly_;
  bool mimeTypeRead_ = false, contentTypesRead_ = false;
};

// The directory is read straight from the file where it can be; the zip library reads the rest.
PackageClues ReadClues(int fd, int64_t length, const HeldBytes& held, bool contentTypesOnly) {
  ClueCollector collector(contentTypesOnly);
  ZipDirectory directory;
  const ZipDirectory::Outcome read = length >= 0 ? directory.Read(fd, length, held) : ZipDirectory::Outcome::LeftToLibrary;
  if (read != ZipDirectory::Outcome::LeftToLibrary) {
    int looked = 0;
    for (const ZipDirectory::Entry& entry : directory.entries()) {
      const auto inflate = [&](uint64_t cap, std::string& contents) { return directory.ReadItem(entry, cap, contents); };
      if (looked++ == kPackageEntriesLooked || !collector.Take(entry.name, inflate)) break;
    }
    return std::move(collector.clues);
  }
  ZipArchive archive(fd);
  std::string name;
  int looked = 0;
  for (bool more = archive.First(); more && looked < kPackageEntriesLooked; more = archive.Next(), ++looked) {
    if (!archive.CurrentRawName(name)) break;
    const auto read = [&](uint64_t cap, std::string& contents) { return archive.ReadCurrent(contents, cap); };
    if (!collector.Take(name, read)) break;
  }
  return std::move(collector.clues);
}

// The main content type named first in "[Content_Types].xml", as a quoted attribute value. Every
// one starts alike, so only the places where that start follows a quote are compared.
const MainContentType* MainTypeOf(const std::string& contentTypes) {
  constexpr std::string_view kCommonStart = "application/vnd.";
  for (size_t at = contentTypes.find(kCommonStart, 1); at != std::string::npos;
       at = contentTypes.find(kCommonStart, at + 1)) {
    const char quote = contentTypes[at - 1];
    if (quote != '"' && quote != '\'') continue;
    for (const MainContentType& main : kMainContentTypes) {
      const size_t end = at + main.contentType.size();
      if (end < contentTypes.size() && contentTypes[end] == quote &&
          contentTypes.compare(at, main.contentType.size(), main.contentType) == 0)
        return &main;
    }
  }
  return nullptr;
}

// The extension of the kind a "mimetype" entry names; empty when it names none of them.
std::string_view ExtensionOfMimeType(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  for (const MimeType& known : kMimeTypes)
    if (known.mimeType == text) return known.extension;
  return {};
}

}  // namespace

FileType FileTypeOf(std::string_view extension) {
  for (const Family& family : kFamilies)
    if (family.type == extension) return {family.type, family.variants};
  return {extension, {}};
}

FileType AnyCompoundFileType(std::string_view extension) { return {extension, kCompound}; }

NameParts SplitExtension(std::u16string_view fileName) {
  NameParts parts{fileName, {}};
  const size_t dot = fileName.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) return parts;
  parts.base = fileName.substr(0, dot);
  for (char16_t c : fileName.substr(dot + 1))
    parts.lowerExtension += c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  return parts;
}

std::string_view ListedType(const FileType& type, std::u16string_view fileName) {
  const std::u16string own = SplitExtension(fileName).lowerExtension;
  const auto namesOwn = [&own](std::string_view name) { return std::equal(own.begin(), own.end(), name.begin(), name.end()); };
  for (std::string_view variant : type.variants)
    if (namesOwn(variant)) return variant;
  return type.extension;
}

FileType PackageType(int fd, std::string_view fromFirstBytes, std::span<const uint8_t> start, int64_t length) {
  const bool anyZip = fromFirstBytes == "zip";
  // OpenDocument writes its "mimetype" first and Office its "[Content_Types].xml": when the first
  // entry is the one that decides, the bytes read already tell.
  const HeldBytes held{start, 0};
  std::string firstItem;
  if (anyZip) {
    if (ReadLocalItem(fd, length, held, 0, "mimetype", -1, kMimeTypeCap, firstItem))
      if (const std::string_view kind = ExtensionOfMimeType(firstItem); !kind.empty()) return FileTypeOf(kind);
  } else if (ReadLocalItem(fd, length, held, 0, "[Content_Types].xml", -1, kContentTypesCap, firstItem)) {
    // A package the first bytes already named is told apart by its content types alone.
    std::transform(firstItem.begin(), firstItem.end(), firstItem.begin(), AsciiLower);
    const MainContentType* main = MainTypeOf(firstItem);
    return main != nullptr && main->application == fromFirstBytes ? FileType{main->extension, {}}
                                                                  : FileTypeOf(fromFirstBytes);
  }
  const PackageClues clues = ReadClues(fd, length, held, !anyZip);
  if (const std::string_view kind = ExtensionOfMimeType(clues.mimeType); anyZip && !kind.empty())
    return FileTypeOf(kind);
  if (const MainContentType* main = MainTypeOf(clues.contentTypes);
      main != nullptr && (anyZip || main->application == fromFirstBytes))
    return {main->extension, {}};
  if (anyZip && clues.androidManifest && clues.dalvikCode) return FileTypeOf("apk");
  if (anyZip && clues.javaManifest) return FileTypeOf("jar");
  return FileTypeOf(fromFirstBytes);
}

}  // namespace brenvik
