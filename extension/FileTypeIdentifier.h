#pragma once
// Decides a file's true type from its content and names it by the lower-case extension it should
// carry ("jpg", "docx", "mdb", ...), or the empty text when the type is not recognised.
//
// An ordered list of signature tests over the first 512 bytes decides; two deeper probes sit in
// the list: the compound-file probe (which Office application wrote an OLE2 file) and the zip
// probe (which Office Open XML main part a zip package holds). The first test that matches wins.
// Where the content names a variant of that type, the variant is the type: a Word template is a
// "dot", and a zip package says what it is by its own entries (PackageType). Each type comes
// with the other extensions that name its content correctly (FileTypeVariants.h). A file the
// table does not identify is asked about the further types (FurtherFileTypes.h).
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "extension/FileTypeVariants.h"
#include "platform/NoFollow.h"
#include "readers/DocumentReader.h"

namespace brenvik {

constexpr size_t kIdentifyHeaderSize = 512;

// Opens `path` read-only with full sharing, reads its first 512 bytes and identifies it; the
// reader serves the compound-file probe. The file is closed before returning. Empty when the file
// cannot be opened or nothing matched.
FileType IdentifyFileType(const std::filesystem::path& path, DocumentReader& reader);

// The same for the file `name` (NUL-terminated) of an open folder, as a folder walk meets it.
// `judged`, when given, receives the identity of the file opened and judged (unknown when it
// could not be opened).
FileType IdentifyFileTypeAt(int folderFd, const char* name, DocumentReader& reader, FileIdentity* judged = nullptr);

// The same decision over an already open file whose first 512 bytes (zero-filled beyond the end)
// are in `header`. Takes the file over and closes it.
FileType IdentifyOpenFile(UniqueFd file, const uint8_t (&header)[kIdentifyHeaderSize], DocumentReader& reader);

enum ZipProbeResult { kZipUnknown = 0, kZipWord = 1, kZipExcel = 2, kZipPowerPoint = 3 };

// Walks the local headers of a zip archive from its start looking for the main part of an Office
// Open XML package. `start` holds the file's first bytes (at least kIdentifyHeaderSize of them,
// fewer only when the file ends there); they are not read again. `length` is the file's length,
// negative when unknown. Entries whose sizes sit in a trailing data descriptor are stepped over by
// scanning for the next local header signature.
int ProbeZipPackage(int fd, std::span<const uint8_t> start, int64_t length);

}  // namespace brenvik
