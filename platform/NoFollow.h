#pragma once
// File operations that never follow a symbolic link. A tree of recovered files may hold links,
// and a link swapped in between a scan and an action must not lead a delete or move outside the
// folder the user chose: every folder below a trusted base is opened part by part with
// O_NOFOLLOW, and only regular files are acted on.
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/FileOps.h"

namespace brenvik {

// Opens a regular file for reading without following a final symbolic link and without ever
// blocking (FIFOs and device nodes are refused, not opened for use). `size` receives its length.
UniqueFd OpenRegularFile(const fs::path& path, int64_t& size);
// The same for `name` in an open folder (a walk's folder), sparing the lookup of the full path.
UniqueFd OpenRegularFileAt(int folderFd, std::string_view name, int64_t& size);

// Opens a folder the caller trusts (a final link is followed) as the base of the calls below.
UniqueFd OpenFolder(const fs::path& path);

// Opens the folder `relative` below the open folder `baseFd`: parts separated by "/", none of
// them empty, "." or ".."; an empty `relative` opens the base itself. No symbolic link is followed
// on the way. With `createMissing`, missing folders are created first.
UniqueFd OpenFolderBelow(int baseFd, std::string_view relative, bool createMissing);

// True when `name` in the open folder is a regular file (a link is not looked through).
bool IsRegularFileAt(int folderFd, std::string_view name);
// Gives the owner write permission on the regular file `name` when it is missing.
void ResetAttributesAt(int folderFd, std::string_view name);
// Deletes `name` when it is a regular file; links, folders and the like are left alone.
bool DeleteRegularFileAt(int folderFd, std::string_view name);
// Moves the regular file `fromName` to `toName` in another open folder, replacing a file there
// (rename(2)); fails across file systems and for anything that is not a regular file.
bool MoveRegularFileAt(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName);

}  // namespace brenvik
