#pragma once
// The file operations every engine uses, so no engine talks to the operating system directly.
// All of them report failure by return value and never throw.
#include <sys/uio.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/StorageIdentity.h"

namespace brenvik {

namespace fs = std::filesystem;

// Owns a file descriptor; closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens a file for reading, sharing it with every other reader and writer. Never blocks on a FIFO.
UniqueFd OpenShared(const fs::path& path);
// Opens the file `name` of an open folder for reading, sharing it with every other reader and
// writer, for a walk that reads many files: no path is resolved again, a symbolic link is not
// followed, and the descriptor stays non-blocking (regular files read as usual; a FIFO or device
// that took a walked file's place reads nothing instead of blocking). `name` is NUL-terminated.
UniqueFd OpenSharedAt(int folderFd, const char* name);
// Opens an input of a job for reading, sharing it with every other reader and writer: a regular
// file, or a block device when `devicesToo`. Anything else (a FIFO, socket, character device,
// folder) is refused without ever blocking, since reading it could wait forever or yield nothing.
UniqueFd OpenSharedInput(const fs::path& path, bool devicesToo);
// Opens a file for reading and writing without creating it.
UniqueFd OpenReadWrite(const fs::path& path);

// The device number (st_rdev) of a block device node, 0 when the path is not a block device.
uint64_t BlockDeviceNumber(const fs::path& path);
// Opens an existing file or device for reading and writing; a block device only when nothing else
// holds it: the kernel refuses (errno EBUSY) while a file system on it or on one of its
// partitions is mounted, or while it is in use as swap or by a volume manager. Anything but a
// regular file or block device is refused (errno EINVAL) without blocking, and so is a symbolic
// link at that name (errno ELOOP). On failure the errno is stored in `error` when given.
UniqueFd OpenDeviceExclusive(const fs::path& path, int* error = nullptr);

// Why an output would be refused, before anything is created or truncated.
enum class OutputRefusal {
  None,
  NotRegular,  // a FIFO, socket, device or folder stands at the name: only a regular file is an output
  Link,        // a symbolic link stands at the name, or one another user put in a shared folder lies on the way
  OnInput,     // writing it would change one of the inputs (see StorageIdentity.h)
};
// Why the output `path` would be refused, asked without opening it: see OutputRefusal.
OutputRefusal RefusalOfOutput(const fs::path& path, std::span<const fs::path> inputs = {}, const StorageProbe& probe = {});
// True when writing `path` would go through a symbolic link: one stands at the name, or a folder
// on the way is a link in a sticky folder that others may write to (as /tmp), put there by
// another user than this process's and the folder's owner (whom the kernel's protected_symlinks
// rule trusts). An output is never written through such a link: in a shared folder anyone may
// plant one that leads a program run as root onto a file of their choosing.
bool ReachedThroughLink(const fs::path& path);

// Creates (or truncates) an output file, after refusing it when writing it would change one of
// `inputs`: the same file under any name or link, a loop device's backing file, a file on a file
// system mounted from an input disk (see StorageIdentity.h). Only a regular file is ever an
// output: a FIFO, socket, device or folder at that name is refused, and the open never blocks.
// A symbolic link is never written through (ReachedThroughLink). Returns an invalid fd when
// refused, with nothing created or truncated; `refusal` (when given) then says why, and stays
// None when the system refused the open (no rights, no such folder).
UniqueFd CreateOutput(const fs::path& path, std::span<const fs::path> inputs = {}, const StorageProbe& probe = {},
                      OutputRefusal* refusal = nullptr);
// Opens an existing output file for writing as it is, to go on with a copy into it: the same
// refusals as CreateOutput, and a missing file is not created.
UniqueFd OpenOutputKeeping(const fs::path& path, std::span<const fs::path> inputs = {},
                           const StorageProbe& probe = {});
// Closes an output and tells whether the system took every write: some file systems (NFS, for
// one) report a full disk or a failed write only when the file is closed. The fd is left invalid.
bool CloseOutput(UniqueFd& fd);
// Creates a new file that must not exist yet (O_EXCL).
UniqueFd CreateExclusive(const fs::path& path);
// A file without a name in `folder` (O_TMPFILE), for scratch data that must vanish with the
// process however it ends; invalid where the file system cannot make one.
UniqueFd CreateUnnamedTemporary(const fs::path& folder);
// The time of last change of the file `path` names, in seconds since 1970; 0 when unknown.
int64_t ModificationTime(const fs::path& path);

// True when two outputs of a job would be one file, so that one would replace the other: the same
// existing file under any name (device and inode), or a name not taken yet that both name (the
// same name in the same folder, however the folder is written).
bool SameOutput(const fs::path& a, const fs::path& b);

// Reads up to `size` bytes at `offset`; returns the count read (short at end of file), -1 on error.
int64_t ReadAt(int fd, void* buffer, size_t size, int64_t offset);
// Reads at `offset` into several buffers in turn with one call (preadv); returns the count read
// (short at end of file), -1 on error.
int64_t ReadScattered(int fd, std::span<const iovec> parts, int64_t offset);
// Reads until `size` bytes or end of file; returns the count read, -1 on error.
int64_t ReadFull(int fd, void* buffer, size_t size);
// Writes all `size` bytes; false on any error (a full disk included).
bool WriteFull(int fd, const void* buffer, size_t size);
bool WriteAllAt(int fd, const void* buffer, size_t size, int64_t offset);
// Size of an open file or block device, -1 on error.
int64_t FileSize(int fd);
// Size of a file by path without following a final symbolic link, -1 when it is not a regular file.
int64_t RegularFileSize(const fs::path& path);
// What direct reads (O_DIRECT) of an open file or disk must align offsets and lengths to: a disk's
// logical block size, or a file's as its file system reports it. 0 when the file system offers no
// direct reads; -1 when it does not say (direct reads may still work: try them). `blockDevice`, when
// given, is set to whether the file is a disk.
int64_t DirectReadAlignment(int fd, bool* blockDevice = nullptr);
// Turns direct I/O on or off for an open file (for all its copies); false when refused.
bool SetDirectIo(int fd, bool on);
// Tells the kernel that an open file is read at scattered places, so it reads ahead of no read.
void AdviseNoReadAhead(int fd);
// Asks the kernel to start reading a range of an open file into memory, without waiting for it.
void AdviseWillNeed(int fd, int64_t offset, int64_t length);

// Move with replacement, as within a folder tree: rename(2). Fails across file systems.
bool MoveReplace(const fs::path& from, const fs::path& to);

enum class MoveResult { Moved, TargetExists, Failed };
// Move that never destroys an existing file: renameat2(RENAME_NOREPLACE), falling back to
// link + unlink where the file system lacks it.
MoveResult MoveNoReplace(const fs::path& from, const fs::path& to);

bool DeleteFile(const fs::path& path);    // unlink
bool RemoveFolder(const fs::path& path);  // rmdir, only when empty
// Gives the owner write permission when it is missing; failures are ignored.
void ResetAttributes(const fs::path& path);
// Creates a folder and all missing parents; true when it exists afterwards.
bool CreateFolders(const fs::path& path, unsigned mode = 0777);

// What an open descriptor or a path (symbolic links followed) refers to.
enum class FileKind { Missing, Regular, Folder, BlockDevice, Socket, Other };
// The kind a stat mode stands for.
FileKind KindOfMode(unsigned mode);
FileKind KindOfOpenFile(int fd);
FileKind KindOfPath(const fs::path& path);
// Sets the length of an open file (shortening drops the bytes after `length`); false on error.
bool SetFileLength(int fd, int64_t length);

// Writes the file at `relative` below `base` through the fd given to `fill`: missing folders are
// created (with `folderMode`); a plain file already there is overwritten; a symbolic or hard link
// standing at that name is removed and replaced, never written through, and no symbolic link
// below `base` is followed. `relative` must be a plain relative path without "." or ".." parts.
// When `fill` returns false or anything fails, no file is left at that name and the result is false.
bool ReplaceFileBelow(const fs::path& base, const fs::path& relative, const std::function<bool(int fd)>& fill,
                      unsigned folderMode = 0700);
// The same below the open folder `baseFd`.
bool ReplaceFileBelowAt(int baseFd, const fs::path& relative, const std::function<bool(int fd)>& fill,
                        unsigned folderMode = 0700);

// Replaces `name` in the open folder with a file holding `contents`, all or nothing: the text is
// written to a new file beside it, made durable and renamed over the name, so that a crash at any
// moment leaves either the old file or the new one, whole. A link at the name is replaced, never
// written through.
bool ReplaceFileAtomicallyAt(int folderFd, const std::string& name, std::string_view contents);
// Makes the data written to `fd` durable (fdatasync); false when the device refused.
bool SyncData(int fd);
// Starts writing the range of `fd` out to its device without waiting for it (sync_file_range), so
// that dirty pages do not pile up behind a long copy; errors are left to the later SyncData.
void StartWriteback(int fd, int64_t offset, int64_t size);

enum class Access { Allowed, Denied, Unknown };
// Whether this user may open `path` for reading and writing, asked without opening it (an open
// of a disk node can spin up or probe the drive).
Access ReadWriteAccess(const fs::path& path);

bool IsFolder(const fs::path& path);
bool Exists(const fs::path& path);  // without following a final symbolic link

}  // namespace brenvik
