#pragma once
// Folders only this user can reach, and the removal of what a run made there, down to what a
// signal handler may do when the process must end at once.
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

// The user the process runs as.
uint32_t CurrentUserId();

// Opens a folder without following a symbolic link at its own name.
UniqueFd OpenFolderNoFollow(const fs::path& path);
// Makes the folder `path` (mode 0700, whatever the umask takes away) when it is missing, then
// opens it without following a link at its name: a folder that was there already opens as it is.
UniqueFd MakeOrOpenFolderNoFollow(const fs::path& path);
// Makes a new folder from a mkdtemp pattern ("...XXXXXX", replaced by the name made) and opens it.
UniqueFd MakeFreshFolder(std::string& pattern);
// True when the open folder is owned by this user with mode 0700; `identity` receives which it is.
bool IsPrivateFolder(int fd, FileIdentity& identity);
// True while the open file or folder still has a name (it was not removed behind the program's back).
bool IsStillLinked(int fd);

// Removes every entry below the open folder `fd` through *at calls: files, symbolic links (as
// links) and other entries always, the subfolders too when `removeFolders`. No link is followed.
void EmptyFolderAt(int fd, const fs::path& path, bool removeFolders);

// Paths a signal handler removes when the process must end at once: fixed slots the handler
// reads without a lock or memory of its own. Each keeps the identity `path` has when it is kept
// (a path kept again takes its old slot with the new identity); slots beyond the last are not kept.
void KeepForUrgentRemoval(const fs::path& path, bool folder);
// The path is being removed the normal way: the handler leaves it alone.
void ForgetUrgentRemoval(const fs::path& path);
// Removes each kept path (a folder with the files in it) while it still names what was kept,
// using only calls a signal handler may make.
void RemoveKeptPathsAtOnce() noexcept;

}  // namespace brenvik
