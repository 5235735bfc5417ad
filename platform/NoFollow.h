#pragma once
// File operations that never follow a symbolic link. A tree of recovered files may hold links,
// and a link swapped in between a scan and an action must not lead a delete or move outside the
// folder the user chose: every folder below a trusted base is opened part by part with
// O_NOFOLLOW, and only regular files are acted on.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// them empty, "." or ".." or holding a NUL byte; an empty `relative` opens the base itself. No symbolic link is followed
// on the way. With `createMissing`, missing folders are created first; with `created` as well, each
// folder this call made is added to it (its path relative to the base), for a caller that must
// account for what it made. Folders are made with `mode` (less the umask).
UniqueFd OpenFolderBelow(int baseFd, std::string_view relative, bool createMissing,
                         std::vector<std::string>* created = nullptr, unsigned mode = 0777);

// True when `name` in the open folder is a regular file (a link is not looked through).
bool IsRegularFileAt(int folderFd, std::string_view name);
// Gives the owner write permission on the regular file `name` when it is missing.
void ResetAttributesAt(int folderFd, std::string_view name);
// Deletes `name` when it is a regular file; links, folders and the like are left alone.
bool DeleteRegularFileAt(int folderFd, std::string_view name);
// Moves `fromName` to `toName` between open folders without ever destroying a file at the new
// name: renameat2(RENAME_NOREPLACE), falling back to linkat + unlinkat where the file system
// lacks it. Only a regular file is moved.
MoveResult MoveNoReplaceAt(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName);

// Which file something is: device and inode. A default value stands for "not recorded".
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool known() const { return device != 0 || inode != 0; }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// The 16 bytes a result file keeps an identity in: device, then inode, each 64-bit little-endian.
inline constexpr size_t kIdentityBytes = 16;
// Device then inode, little-endian: how result files keep which file a record is.
struct IdentityRecord {
  std::array<char, kIdentityBytes> bytes;
  std::string_view view() const { return {bytes.data(), bytes.size()}; }
};
IdentityRecord IdentityBytes(FileIdentity identity);
void AppendIdentityBytes(std::string& out, FileIdentity identity);
// The identity in the first kIdentityBytes of `bytes` (none when it is shorter).
FileIdentity IdentityFromBytes(std::string_view bytes);
FileIdentity IdentityFromBytes(const unsigned char* bytes);
FileIdentity IdentityOf(int fd);
// The same, and the file's length in `length` (-1 when the file cannot be looked at), from the
// one look.
FileIdentity IdentityOf(int fd, int64_t& length);
// OpenRegularFileAt that also gives the file's identity, from the same look at the open file.
UniqueFd OpenRegularFileAt(int folderFd, std::string_view name, int64_t& size, FileIdentity& identity);
// `name` in an open folder, a link taken as itself; unknown when it is missing.
FileIdentity IdentityAt(int folderFd, std::string_view name);
// The folder a path names now (a final link followed, as when a walk opens its root).
FileIdentity FolderIdentity(const fs::path& path);

// What a path names now, in the words that tell one file or device from another.
struct PathStatus {
  FileKind kind = FileKind::Missing;
  FileIdentity identity;
  uint64_t deviceNumber = 0;  // a block device's own number
  int64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;
};
// With `followLink` false a final symbolic link is described itself (kind Other).
std::optional<PathStatus> StatusOfPath(const fs::path& path, bool followLink = true);

// Opens the open file `fd` again for reading (with O_DIRECT when `direct`, bypassing the page
// cache): the same file, whatever its name leads to by now.
UniqueFd ReopenOpenFile(int fd, bool direct = false);

// A regular file as a journal keeps it: which file, and its length.
struct RegularFileIdentity {
  FileIdentity identity;
  int64_t size = 0;
  friend bool operator==(const RegularFileIdentity&, const RegularFileIdentity&) = default;
};
// `name` in an open folder, the name itself (a link is not looked through); nullopt when it is
// missing or not a regular file.
std::optional<RegularFileIdentity> RegularFileIdentityAt(int folderFd, std::string_view name);
// The same for an open file.
std::optional<RegularFileIdentity> RegularFileIdentityOf(int fd);
// `name` in an open folder when it is a folder (a link is not looked through).
std::optional<FileIdentity> FolderIdentityAt(int parentFd, std::string_view name);

// Opens `name` in the open folder as a folder, without following a link at that name.
UniqueFd OpenFolderAt(int folderFd, std::string_view name);
// The folder holding the open folder `folderFd` ("..").
UniqueFd OpenParentFolder(int folderFd);
// Removes the folder `name` of an open folder when it is empty; a link or file is left alone.
bool RemoveEmptyFolderAt(int folderFd, std::string_view name);

// The part of `file` below `root` ("a/b/x.jpg"), or empty when the file is not below the root or
// the part has empty, "." or ".." parts.
std::string RelativeBelowRoot(const fs::path& root, const fs::path& file);

// The folder tree a Check walked, opened again to act on the files it listed. A listed file is
// reached folder by folder below the root without following a link, and only while it is still
// the file Check saw, so a folder or file swapped between Check and the action never leads it
// elsewhere.
class ListedTree {
 public:
  // Opens `root`. When `rootIdentity` is known and the path now names another folder, nothing is
  // reachable. An empty root reaches each file from its own folder (for a single named file).
  ListedTree(fs::path root, FileIdentity rootIdentity);

  bool usable() const { return root_.empty() || rootFd_.valid(); }
  int rootFd() const { return rootFd_.get(); }
  const fs::path& root() const { return root_; }

  struct Entry {
    UniqueFd folder;   // the open folder that holds the file
    std::string name;  // the file's name in it
  };
  // The listed regular file `path`, when it is below the root, reached without links, and (when
  // `identity` is known) still that file.
  std::optional<Entry> Reach(const fs::path& path, FileIdentity identity) const;

 private:
  fs::path root_;
  UniqueFd rootFd_;
};

// Opens the regular file `relative` below the open folder `rootFd` for reading in one step, never
// through a symbolic link nor out of the folder (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS), only while it is still `identity` (when known). `supported` turns false
// where the system has no openat2; the caller then reaches the file folder by folder instead.
UniqueFd OpenRegularFileBelow(int rootFd, const std::string& relative, FileIdentity identity, bool& supported);

// Opens a reached file for reading, only while it is still `identity` (when known); the
// descriptor is then the file itself, whatever happens to its name afterwards.
UniqueFd OpenListedFile(const ListedTree::Entry& entry, FileIdentity identity);
// A path that names exactly the open file `fd` ("/proc/self/fd/N"), for readers that open by
// path: opening it reaches that same file and never a name that could have been swapped.
fs::path PathOfOpenFile(int fd);

// Removes every empty folder below the open folder `folderFd`, deepest first; the folder itself
// stays. Only folders are removed, no link is followed, and trees deeper than any path can name
// are cleaned too: one folder is held open at a time, and the way back up is checked.
void RemoveEmptyFoldersBelow(int folderFd);

}  // namespace brenvik
