#pragma once
// The extensions that name a content correctly. Many formats are built on another one: every
// OpenDocument file, Java archive and EPUB book is a zip, a .dot is a Word compound file, .jpeg
// and .jfif are JPEG. A file whose name already carries one of its content's extensions keeps
// it; only a name that fits none of them is corrected. A compound file's names are those of the
// application its top streams name (a Word document named .xls is corrected).
#include <span>
#include <string>
#include <string_view>

namespace brenvik {

struct FileType {
  std::string_view extension;  // what the content calls for; empty when it is not recognised
  // Further extensions that name the same content correctly (the extension alone when empty).
  std::span<const std::string_view> variants;

  bool recognised() const { return !extension.empty(); }
};

// A type as content identification names it, with the variants of that kind of content.
FileType FileTypeOf(std::string_view extension);
// A compound file the probe named by a stream that may belong to an embedded object: every
// compound-file extension names it correctly.
FileType AnyCompoundFileType(std::string_view extension);

// The type a file named `fileName` (its last component) is listed with: its own extension in
// lower case when that names the content correctly, else the content's extension.
std::string_view ListedType(const FileType& type, std::u16string_view fileName);

// A name split at its last dot: base and extension (lower case). A name without a dot, or whose
// only dot leads, is all base.
struct NameParts {
  std::u16string_view base;
  std::u16string lowerExtension;
};
NameParts SplitExtension(std::u16string_view fileName);

// What a zip package's own entries say it is, given the type its first bytes gave (`zip`,
// `docx`, `xlsx` or `pptx`): the OpenDocument kind or EPUB its "mimetype" entry names, the
// Office Open XML variant the main part's content type in "[Content_Types].xml" names (macro-
// enabled, template, show...; only within the same application for an Office type), an Android
// package (AndroidManifest.xml with classes.dex) or a Java archive (META-INF/MANIFEST.MF). `fd`
// is the open package; it stays open; `start` holds its first bytes and `length` is its length
// (negative when unknown). Reads at most the first kPackageEntriesLooked entries.
FileType PackageType(int fd, std::string_view fromFirstBytes, std::span<const uint8_t> start, int64_t length);
inline constexpr int kPackageEntriesLooked = 4096;

}  // namespace brenvik
