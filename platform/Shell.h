#pragma once
// Hands a path to the desktop: show a file selected in the file manager.
#include <filesystem>

namespace brenvik {

// Asks the desktop's file manager (org.freedesktop.FileManager1.ShowItems over D-Bus) to show
// the item selected, falling back to opening its containing folder with the default handler.
// Returns false when neither could be started. Does not wait for the file manager.
bool ShowInFileManager(const std::filesystem::path& path);

// The file URI of an absolute path, percent-encoding every byte outside the unreserved set.
std::string FileUri(const std::filesystem::path& path);

}  // namespace brenvik
