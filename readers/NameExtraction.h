#pragma once
// Candidate names for recovered archives, PDF and text files, taken from their contents. Each
// returns the finished name text, empty when no name could be made.
#include <filesystem>
#include <span>
#include <string>

#include "readers/NameChoices.h"

namespace brenvik {

// With Date: the newest accepted entry time as a time stamp; followed, with Content, by the entry
// names without their folders (after CleanEntryName); the whole cut to the name length limit.
std::u16string NameFromZip(const std::filesystem::path& path, const NameChoices& choices);

// The names of the plain files inside, cut to the name length limit. With Size, the file is first
// shortened to the end of its end-of-archive block when that block was reached intact and lies
// strictly before the end of the file (the one change these readers make to a user's file).
std::u16string NameFromRar(const std::filesystem::path& path, const NameChoices& choices);

// The 14 characters after "D:" in the first readable /CreationDate value, or empty.
std::u16string NameFromPdf(const std::filesystem::path& path);

// The first up-to-512 bytes as text (UTF-8 or UTF-16LE after their byte-order marks, else as
// AnsiToText reads them), cleaned and cut to the name length limit.
std::u16string NameFromText(const std::filesystem::path& path, const NameChoices& choices);

}  // namespace brenvik
