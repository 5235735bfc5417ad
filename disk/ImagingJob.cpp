#include "disk/ImagingJob.h"

#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "core/TextHelpers.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kFill = 0xBB;

std::u16string OffsetText(const char* format, int64_t offset) {
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<long long>(offset));
  return Utf8ToText(text);
}

// ---- sources ----

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Reads `n` sectors from `sector` on; returns the bytes read, 0 or less when nothing was read.
  virtual int64_t read(int64_t sector, int64_t n, uint8_t* buffer) = 0;
  // The same read, but only the first `keep` bytes of every sector land in `out`, `keep` apart
  // (keep < sector size), which saves copying the block once more. Returns the bytes read from the
  // source as read() does, or nothing when the source cannot read this way.
  virtual std::optional<int64_t> readKeeping(int64_t, int64_t, uint8_t*, int64_t) { return std::nullopt; }
};

class HandleSource : public SectorSource {
 public:
  HandleSource(int fd, int32_t sectorSize) : fd_(fd), sectorSize_(sectorSize) {}
  int64_t read(int64_t sector, int64_t n, uint8_t* buffer) override {
    int64_t offset = 0;
    if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return -1;
    const size_t wanted = static_cast<size_t>(n * sectorSize_);
    size_t got = 0;
    while (got < wanted) {
      const int64_t count = ReadAt(fd_, buffer + got, wanted - got, offset + static_cast<int64_t>(got));
      if (count <= 0) break;
      got += static_cast<size_t>(count);
    }
    return static_cast<int64_t>(got);
  }

  std::optional<int64_t> readKeeping(int64_t sector, int64_t n, uint8_t* out, int64_t keep) override {
    int64_t offset = 0;
    if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return -1;
    discard_.resize(static_cast<size_t>(sectorSize_ - keep));
    constexpr int64_t kSectorsPerCall = IOV_MAX / 2;
    std::vector<iovec> parts;
    int64_t got = 0;
    for (int64_t first = 0; first < n; first += kSectorsPerCall) {
      const int64_t count = std::min(kSectorsPerCall, n - first);
      parts.clear();
      for (int64_t i = first; i < first + count; ++i) {
        parts.push_back({out + i * keep, static_cast<size_t>(keep)});
        parts.push_back({discard_.data(), discard_.size()});
      }
      const int64_t wanted = count * sectorSize_;
      const int64_t read = ReadScattered(fd_, parts, offset + got);
      if (read > 0) got += read;
      if (read != wanted) break;  // end of the source or a failed read: the rest is fill
    }
    return got;
  }

 private:
  int fd_;
  int32_t sectorSize_;
  std::vector<uint8_t> discard_;
};

class ScsiSource : public SectorSource {
 public:
  ScsiSource(ScsiTarget& target, int32_t sectorSize) : target_(target), sectorSize_(sectorSize) {}
  int64_t read(int64_t sector, int64_t n, uint8_t* buffer) override {
    // READ(10) addresses 32 bits of blocks: beyond that it would silently read the wrong blocks.
    if (sector < 0 || sector + n > (int64_t{1} << 32)) return -1;
    const size_t bytes = static_cast<size_t>(n * sectorSize_);
    const int result = target_.read10(static_cast<uint32_t>(sector), static_cast<uint16_t>(n),
                                      static_cast<uint32_t>(sectorSize_), std::span(buffer, bytes));
    return result == kScsiNoSense ? static_cast<int64_t>(bytes) : -1;
  }

 private:
  ScsiTarget& target_;
  int32_t sectorSize_;
};

// Writes one block at a time on a thread of its own, so the next block is read meanwhile.
// Without a thread (none could be started) it writes at once.
class BlockWriter {
 public:
  explicit BlockWriter(int fd) : fd_(fd) {
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
    }
  }
  ~BlockWriter() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard guard(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void start(const uint8_t* data, size_t size, int64_t offset) {
    if (!thread_.joinable()) {
      result_ = WriteAllAt(fd_, data, size, offset);
      return;
    }
    {
      std::lock_guard guard(mutex_);
      data_ = data;
      size_ = size;
      offset_ = offset;
      queued_ = true;
    }
    wake_.notify_all();
  }

  // Waits for the block started last; true when it was written completely.
  bool wait() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !queued_; });
    return result_;
  }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return queued_ || quit_; });
      if (quit_) return;
      lock.unlock();
      const bool written = WriteAllAt(fd_, data_, size_, offset_);
      lock.lock();
      result_ = written;
      queued_ = false;
      wake_.notify_all();
    }
  }

  int fd_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int64_t offset_ = 0;
  bool queued_ = false;
  bool quit_ = false;
  bool result_ = true;
};

// ---- the copy loop ----

class CopyLoop {
 public:
  CopyLoop(const ImagingRequest& p, ImagingReporter& sink, const std::atomic<int>& stop,
           std::function<int64_t()> now, int64_t blockSectors)
      : p_(p), sink_(sink), stop_(stop), now_(std::move(now)), block_(blockSectors) {}

  // Returns the progress maximum, in blocks.
  int64_t run(SectorSource& source, int targetFd) {
    const int64_t S = p_.sourceStart, K = p_.sourceCount, B = block_;
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    const int64_t end = S + std::max<int64_t>(K, 0);
    progressMaximum_ = end / B;
    sink_.Progress(0, progressMaximum_);
    start_ = now_();
    int64_t targetOffset = p_.targetStart * Pt;

    // With equal sector sizes the read goes straight into the output buffer. Otherwise the input
    // buffer has room for the tail an output sector may take beyond its source sector, so that a
    // larger target sector never reads outside the buffer; that tail is fill.
    const bool direct = Ps == Pt;
    std::vector<uint8_t> input(direct ? 0 : static_cast<size_t>(Ps * B + std::max<int64_t>(0, Pt - Ps)));
    std::vector<uint8_t> output[2] = {std::vector<uint8_t>(static_cast<size_t>(Pt * B)),
                                      std::vector<uint8_t>(static_cast<size_t>(Pt * B))};
    int slot = 0;
    BlockWriter writer(targetFd);
    for (int64_t current = S; current < end;) {
      if (stop_.load() != 0) break;
      const int64_t n = std::min(B, end - current);
      uint8_t* out = output[slot].data();
      uint8_t* in = direct ? out : input.data();
      const size_t inBytes = static_cast<size_t>(n * Ps);
      const size_t inSpan = direct ? inBytes : static_cast<size_t>(n * Ps + std::max<int64_t>(0, Pt - Ps));
      std::optional<int64_t> kept;
      if (Pt < Ps) kept = source.readKeeping(current, n, out, Pt);
      int64_t got = 0;
      if (kept) {
        got = *kept;
        if (got < static_cast<int64_t>(inBytes))
          for (int64_t i = 0; i < n; ++i)
            std::fill(out + i * Pt + std::clamp<int64_t>(got - i * Ps, 0, Pt), out + (i + 1) * Pt, kFill);
      } else {
        got = source.read(current, n, in);
        std::fill(in + std::clamp<int64_t>(got, 0, static_cast<int64_t>(inBytes)), in + inSpan, kFill);
        if (!direct)
          for (int64_t i = 0; i < n; ++i) std::copy_n(in + i * Ps, Pt, out + i * Pt);
      }
      if (targetOffset == 0 && out[511] == 0xAA) out[511] = kFill;  // never a complete boot signature

      // Rows of the previous block first, so they stay in block order. A Stop that came while the
      // previous block was written ends the copy before this block, as if the blocks ran one after
      // the other; the block read ahead is dropped.
      const bool overlapped = finishWrite(writer);
      if (overlapped && stop_.load() != 0) break;
      if (got <= 0) sink_.Message(u"读取", OffsetText("读取位置%lld错误", current * Ps));
      startWrite(writer, out, static_cast<size_t>(n * Pt), targetOffset, current + n);
      current += n;
      targetOffset += n * Pt;
      slot ^= 1;
    }
    finishWrite(writer);
    return progressMaximum_;
  }

 private:
  void startWrite(BlockWriter& writer, const uint8_t* data, size_t size, int64_t offset, int64_t next) {
    writer.start(data, size, offset);
    pending_ = Pending{offset, next};
  }

  // Finishes the pending write, if any, and reports it; true when there was one.
  bool finishWrite(BlockWriter& writer) {
    if (!pending_) return false;
    const bool written = writer.wait();
    if (!written) sink_.Message(u"写入", OffsetText("写入位置%lld错误", pending_->offset));
    sink_.Progress(pending_->next / block_, progressMaximum_);
    sink_.Tally(ComputeDisplays(pending_->next, p_.sourceStart, p_.sourceCount, p_.sourceSectorSize,
                                   now_() - start_));
    pending_.reset();
    return true;
  }

  struct Pending {
    int64_t offset;  // where the block goes
    int64_t next;    // the source sector after it
  };

  const ImagingRequest& p_;
  ImagingReporter& sink_;
  int64_t progressMaximum_ = 0;
  const std::atomic<int>& stop_;
  std::function<int64_t()> now_;
  int64_t block_;
  int64_t start_ = 0;
  std::optional<Pending> pending_;
};

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// True when every sector number and byte offset of the run fits in 64 bits, so that numbers
// typed into the page can never make the copy compute a wrapped offset.
bool OffsetsFit(const ImagingRequest& p) {
  const int64_t count = std::max<int64_t>(p.sourceCount, 0);
  int64_t end = 0, sourceBytes = 0, targetEnd = 0, targetBytes = 0;
  return !__builtin_add_overflow(p.sourceStart, count, &end) &&
         !__builtin_mul_overflow(end, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_add_overflow(p.targetStart, count, &targetEnd) &&
         !__builtin_mul_overflow(targetEnd, int64_t{p.targetSectorSize}, &targetBytes) &&
         !__builtin_mul_overflow(p.sourceStart, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_mul_overflow(p.targetStart, int64_t{p.targetSectorSize}, &targetBytes);
}

StorageProbe ProbeOf(const ImagingEnvironment& env) {
  return StorageProbe{env.sysfsRoot, env.mountInfo, env.deviceNumber};
}

void Interrupted(ImagingReporter& sink, std::u16string_view error) {
  sink.Message(u"错误", error);
  sink.Message(u"镜像", u"镜像中断");
}

}  // namespace

std::u16string TargetRefusal(const ImagingRequest& p, const ImagingEnvironment& env) {
  const fs::path target = !p.targetFile.empty() ? p.targetFile : p.targetDiskNode;
  if (target.empty()) return {};
  const std::u16string same = u"目标设备就是源设备，不能写入";
  if (p.targetFile.empty() && p.targetDisk >= 0 && p.targetDisk == p.sourceDisk) return same;

  const StorageProbe probe = ProbeOf(env);
  const bool targetIsDevice = (env.deviceNumber ? env.deviceNumber(target) : BlockDeviceNumber(target)) != 0;
  const FileKind kind = KindOfPath(target);
  if (!targetIsDevice && kind != FileKind::Missing && kind != FileKind::Regular)
    return u"目标既不是普通文件也不是磁盘，不能写入";

  const StorageIdentity targetStorage = IdentifyStorage(target, probe);
  std::vector<StorageIdentity> sources;
  if (p.sourceScsi != nullptr && p.sourceScsi->blockDevice != 0)
    sources.push_back(IdentifyBlockDevice(p.sourceScsi->blockDevice, probe));
  for (const fs::path& source : {p.sourceImage, p.sourceDiskNode})
    if (!source.empty()) sources.push_back(IdentifyStorage(source, probe));
  for (const StorageIdentity& source : sources) {
    switch (CompareStorage(targetStorage, source)) {
      case StorageClash::None: break;
      case StorageClash::OutputOnInputsDisk:
        return u"目标文件位于源磁盘的文件系统上，写入会覆盖源磁盘上待恢复的数据";
      case StorageClash::InputOnOutputsDisk: return u"源镜像文件位于目标设备上，写入会损坏它";
      case StorageClash::Same: return same;
    }
  }

  // A mounted file system on any device sharing the target's sectors (a partition, a holder, a
  // loop device over a target file) would be corrupted under the kernel's feet.
  for (const StorageIdentity& mounted : MountedFileSystems(probe))
    if (CompareStorage(targetStorage, mounted) == StorageClash::Same)
      return u"目标设备上有已挂载的文件系统，写入会损坏它";
  return {};
}

ImagingOutcome RunImaging(const ImagingRequest& p, const std::atomic<int>& stop, ImagingReporter& sink,
                          const ImagingEnvironment& env) {
  sink.Message(u"镜像", u"正在镜像...");
  // The page refuses these sizes already; the buffers and the boot-signature rule rely on it.
  for (int32_t size : {p.sourceSectorSize, p.targetSectorSize}) {
    if (size < 512 || size > kMaxSectorSize) {
      Interrupted(sink, u"请正确填写扇区大小");
      return {};
    }
  }
  if (!OffsetsFit(p)) {
    Interrupted(sink, u"起始位置或大小超出范围");
    return {};
  }
  const std::u16string refusal = TargetRefusal(p, env);
  if (!refusal.empty()) {
    sink.Message(u"错误", u"打开目标设备错误");
    Interrupted(sink, refusal);
    return {};
  }

  // A source that is neither a file nor a disk (a FIFO, for one) could never be read; it is
  // refused before the target is created or emptied.
  const fs::path sourcePath = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  if (p.sourceScsi == nullptr && !sourcePath.empty()) {
    const FileKind kind = KindOfPath(sourcePath);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice) {
      Interrupted(sink, u"打开源设备错误");
      return {};
    }
  }

  UniqueFd target;
  int openError = 0;
  const auto deviceNumber = env.deviceNumber ? env.deviceNumber : BlockDeviceNumber;
  if (!p.targetFile.empty() && deviceNumber(p.targetFile) == 0) {
    const fs::path inputs[] = {p.sourceImage, p.sourceDiskNode};
    target = CreateOutput(p.targetFile, inputs, ProbeOf(env));
  } else if (!p.targetFile.empty() || !p.targetDiskNode.empty()) {
    target = OpenDeviceExclusive(!p.targetFile.empty() ? p.targetFile : p.targetDiskNode, &openError);
  }
  if (!target) {
    if (openError == EBUSY) {
      sink.Message(u"错误", u"打开目标设备错误");
      Interrupted(sink, u"目标设备正被系统使用（已挂载或被占用），写入会损坏它");
    } else {
      Interrupted(sink, u"打开目标设备错误");
    }
    return {};
  }

  auto now = env.nowSeconds ? env.nowSeconds : SteadySeconds;
  int64_t progressMaximum = 0;
  try {
    if (p.sourceScsi != nullptr && env.scsi != nullptr) {
      ScsiTarget scsi(*env.scsi);
      scsi.bind(p.sourceScsi);
      ScsiSource source(scsi, p.sourceSectorSize);
      progressMaximum = CopyLoop(p, sink, stop, now, kScsiBlockSectors).run(source, target.get());
    } else {
      UniqueFd sourceFd = sourcePath.empty() ? UniqueFd() : OpenSharedInput(sourcePath, true);
      if (!sourceFd) {
        target.reset();
        Interrupted(sink, u"打开源设备错误");
        return {};
      }
      HandleSource source(sourceFd.get(), p.sourceSectorSize);
      progressMaximum = CopyLoop(p, sink, stop, now, kHandleBlockSectors).run(source, target.get());
    }
  } catch (const std::bad_alloc&) {
    Interrupted(sink, u"内存不足");
    return {};
  }
  target.reset();
  sink.Message(u"镜像", u"镜像完成");
  sink.Progress(0, progressMaximum);
  return {true};
}

}  // namespace brenvik
