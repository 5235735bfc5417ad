#include "invalid_files/TwinFinder.h"

// The hash state on the stack needs the library's full declarations.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/ByteOrder.h"

namespace brenvik {
namespace {

constexpr int kCountBits = 22;  // 4 Mi one-byte counts of file sizes
constexpr int kFlagBits = 23;   // 8 Mi flags (1 MiB) for the JPEG sizes and the thumbnail lengths
constexpr int64_t kEdge = 4096;
constexpr size_t kChunk = size_t{256} << 10;
constexpr size_t kSpillFlush = size_t{1} << 20;
// A group of copies larger than this opens its files again for each comparison rather than
// holding them all open.
constexpr size_t kGroupHeldOpen = 64;

// A spill record: flags (1 JPEG, 2 thumbnail), the path's length, the size, the walk ordinal, the
// thumbnail's offset, length and hash, the edge hash, the identity, then the path.
constexpr size_t kRecordHead = 1 + 4 + 6 * 8 + kIdentityBytes;
constexpr size_t kIdentityAt = 53;
constexpr uint8_t kJpegFlag = 1;
constexpr uint8_t kThumbnailFlag = 2;
constexpr uint8_t kEdgeFlag = 4;

size_t Slot(uint64_t size, int bits) { return static_cast<size_t>((size * 0x9E3779B97F4A7C15ull) >> (64 - bits)); }
// A file's place among the counts: its size and its edges, so only files that agree in both meet.
size_t CopySlot(uint64_t size, uint64_t edge) { return Slot(size ^ (edge * 0xC2B2AE3D27D4EB4Full), kCountBits); }
void SetFlag(std::vector<uint64_t>& flags, size_t slot) { flags[slot >> 6] |= uint64_t{1} << (slot & 63); }
bool FlagSet(const std::vector<uint64_t>& flags, size_t slot) { return ((flags[slot >> 6] >> (slot & 63)) & 1) != 0; }

bool Stopped(const std::atomic<int>& stop) { return stop.load(std::memory_order_relaxed) != 0; }

// Runs job(i) for every i below `count` on up to `workers` threads, until `stop`.
template <class Job>
void ParallelFor(size_t count, int workers, const std::atomic<int>& stop, Job job) {
  std::atomic<size_t> next{0};
  const auto run = [&] {
    for (size_t i = next++; i < count && !Stopped(stop); i = next++) job(i);
  };
  const int threads = static_cast<int>(std::clamp<size_t>(count, 1, static_cast<size_t>(std::max(workers, 1))));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(run);
  run();
  for (std::thread& thread : pool) thread.join();
}

std::vector<char>& ThreadBuffer(size_t which) {
  thread_local std::vector<char> buffers[2];
  std::vector<char>& buffer = buffers[which];
  if (buffer.size() < kChunk) buffer.resize(kChunk);
  return buffer;
}

// A hash of the first and last 4 KiB (of the whole file when that is all there is).
std::optional<uint64_t> EdgeHash(int fd, int64_t size) {
  char bytes[2 * kEdge];
  if (size <= 2 * kEdge) {
    if (ReadAt(fd, bytes, static_cast<size_t>(size), 0) != size) return std::nullopt;
    return XXH3_64bits(bytes, static_cast<size_t>(size));
  }
  if (ReadAt(fd, bytes, kEdge, 0) != kEdge || ReadAt(fd, bytes + kEdge, kEdge, size - kEdge) != kEdge)
    return std::nullopt;
  return XXH3_64bits(bytes, sizeof bytes);
}

// The hash of `length` bytes from `offset`; none when the file no longer holds them.
std::optional<uint64_t> FullHash(int fd, int64_t offset, int64_t length, const std::atomic<int>& stop) {
  std::vector<char>& buffer = ThreadBuffer(0);
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (int64_t done = 0; done < length;) {
    if (Stopped(stop)) return std::nullopt;
    const auto want = static_cast<size_t>(std::min<int64_t>(length - done, static_cast<int64_t>(kChunk)));
    if (ReadAt(fd, buffer.data(), want, offset + done) != static_cast<int64_t>(want)) return std::nullopt;
    XXH3_64bits_update(&state, buffer.data(), want);
    done += static_cast<int64_t>(want);
  }
  return XXH3_64bits_digest(&state);
}

// The hashes of two files of `length` bytes and whether their bytes are the same, in one reading of
// each: for a pair of possible copies the hash adds nothing the comparison does not decide.
bool HashAndCompare(int a, int b, int64_t length, uint64_t& hashA, uint64_t& hashB, const std::atomic<int>& stop) {
  std::vector<char>& left = ThreadBuffer(0);
  std::vector<char>& right = ThreadBuffer(1);
  XXH3_state_t stateA, stateB;
  XXH3_64bits_reset(&stateA);
  XXH3_64bits_reset(&stateB);
  bool same = true;
  for (int64_t done = 0; done < length;) {
    if (Stopped(stop)) return false;
    const auto want = static_cast<size_t>(std::min<int64_t>(length - done, static_cast<int64_t>(kChunk)));
    if (ReadAt(a, left.data(), want, done) != static_cast<int64_t>(want) ||
        ReadAt(b, right.data(), want, done) != static_cast<int64_t>(want))
      return false;
    XXH3_64bits_update(&stateA, left.data(), want);
    XXH3_64bits_update(&stateB, right.data(), want);
    same = same && std::memcmp(left.data(), right.data(), want) == 0;
    done += static_cast<int64_t>(want);
  }
  hashA = XXH3_64bits_digest(&stateA);
  hashB = XXH3_64bits_digest(&stateB);
  return same && hashA == hashB;
}

bool SameBytes(int a, int64_t aOffset, int b, int64_t bOffset, int64_t length, const std::atomic<int>& stop) {
  std::vector<char>& left = ThreadBuffer(0);
  std::vector<char>& right = ThreadBuffer(1);
  for (int64_t done = 0; done < length;) {
    if (Stopped(stop)) return false;
    const auto want = static_cast<size_t>(std::min<int64_t>(length - done, static_cast<int64_t>(kChunk)));
    if (ReadAt(a, left.data(), want, aOffset + done) != static_cast<int64_t>(want) ||
        ReadAt(b, right.data(), want, bOffset + done) != static_cast<int64_t>(want) ||
        std::memcmp(left.data(), right.data(), want) != 0)
      return false;
    done += static_cast<int64_t>(want);
  }
  return true;
}

// A noted file that may have a twin, as little as the search needs until it is one.
struct Candidate {
  uint64_t ordinal;
  uint64_t spillAt;
  int64_t size;  // the file's, or for an embedded thumbnail the thumbnail's length
  int64_t thumbnailOffset;
  uint64_t thumbnailHash;
  uint64_t edge;
};

// A candidate being compared: where its file is, and what was learnt of it.
struct Member {
  uint64_t ordinal = 0;
  int64_t size = 0;
  std::string path;
  FileIdentity identity;
  int64_t thumbnailOffset = 0;
  uint64_t thumbnailHash = 0;
  uint64_t edge = 0;
  uint64_t full = 0;
  bool readable = true;
  UniqueFd fd;  // held while its group is compared
};

}  // namespace

// The walk's notes: written to an unnamed file in the temporary folder as they come, kept in
// memory only where no such file can be made or written.
struct TwinFinder::Spill {
  UniqueFd fd;
  int64_t written = 0;  // bytes in the file; the rest are in `pending`
  std::string pending;
  bool fileFailed = false;

  void Append(std::string_view bytes) {
    pending.append(bytes);
    if (pending.size() >= kSpillFlush) Flush();
  }
  void Flush() {
    if (!fd || fileFailed || pending.empty()) return;
    if (!WriteAllAt(fd.get(), pending.data(), pending.size(), written)) {
      fileFailed = true;  // the notes stay in memory from here on
      return;
    }
    written += static_cast<int64_t>(pending.size());
    pending.clear();
  }
  uint64_t size() const { return static_cast<uint64_t>(written) + pending.size(); }
  bool Read(uint64_t at, char* into, size_t count) const {
    if (at + count > size()) return false;
    if (at < static_cast<uint64_t>(written)) {
      const size_t fromFile = static_cast<size_t>(std::min<uint64_t>(count, written - at));
      if (ReadAt(fd.get(), into, fromFile, static_cast<int64_t>(at)) != static_cast<int64_t>(fromFile)) return false;
      at += fromFile;
      into += fromFile;
      count -= fromFile;
    }
    if (count > 0) std::memcpy(into, pending.data() + (at - written), count);
    return true;
  }
};

TwinFacts CollectTwinFacts(int fd, int64_t size, bool duplicates, bool thumbnails) {
  TwinFacts facts;
  // Read now, on the walk's threads, while the file is open anyway: a copy must match it.
  if (duplicates) {
    const std::optional<uint64_t> edge = EdgeHash(fd, size);
    facts.edgeHash = edge.value_or(0);
    facts.edgeRead = edge.has_value();
  }
  if (!thumbnails) return facts;
  facts.jpeg = StartsAsJpeg(fd);
  if (!facts.jpeg) return facts;
  if (const std::optional<ThumbnailPlace> place = FindEmbeddedThumbnail(fd, size)) {
    std::string bytes(static_cast<size_t>(place->length), '\0');
    if (ReadAt(fd, bytes.data(), bytes.size(), place->offset) == place->length) {
      facts.thumbnail = place;
      facts.thumbnailHash = XXH3_64bits(bytes.data(), bytes.size());
    }
  }
  return facts;
}

TwinFinder::TwinFinder(bool duplicates, bool thumbnails, const std::filesystem::path& temporaryFolder)
    : duplicates_(duplicates), thumbnails_(thumbnails), spill_(std::make_unique<Spill>()) {
  if (!duplicates_ && !thumbnails_) return;
  if (duplicates_) sizeCounts_.assign(size_t{1} << kCountBits, 0);
  if (thumbnails_) {
    jpegSizes_.assign((size_t{1} << kFlagBits) / 64, 0);
    thumbnailSizes_.assign((size_t{1} << kFlagBits) / 64, 0);
  }
  if (!temporaryFolder.empty())
    spill_->fd = CreateUnnamedTemporary(temporaryFolder);
}

TwinFinder::~TwinFinder() = default;

void TwinFinder::Note(std::string_view path, int64_t size, FileIdentity identity, const TwinFacts& facts) {
  if (size <= 0 || (!duplicates_ && !thumbnails_)) return;
  const uint64_t ordinal = ordinal_++;
  if (duplicates_ && facts.edgeRead) {
    uint8_t& count = sizeCounts_[CopySlot(static_cast<uint64_t>(size), facts.edgeHash)];
    if (count < 2) ++count;
  }
  const bool thumbnail = thumbnails_ && facts.thumbnail.has_value();
  if (thumbnails_ && facts.jpeg) SetFlag(jpegSizes_, Slot(static_cast<uint64_t>(size), kFlagBits));
  if (thumbnail) SetFlag(thumbnailSizes_, Slot(static_cast<uint64_t>(facts.thumbnail->length), kFlagBits));
  char head[kRecordHead];
  head[0] = static_cast<char>((facts.jpeg ? kJpegFlag : 0) | (thumbnail ? kThumbnailFlag : 0));
  auto* bytes = reinterpret_cast<uint8_t*>(head);
  StoreU32(bytes + 1, static_cast<uint32_t>(path.size()));
  StoreU64(bytes + 5, static_cast<uint64_t>(size));
  StoreU64(bytes + 13, ordinal);
  StoreU64(bytes + 21, thumbnail ? static_cast<uint64_t>(facts.thumbnail->offset) : 0);
  StoreU64(bytes + 29, thumbnail ? static_cast<uint64_t>(facts.thumbnail->length) : 0);
  StoreU64(bytes + 37, facts.thumbnailHash);
  StoreU64(bytes + 45, facts.edgeRead ? facts.edgeHash : 0);
  std::memcpy(head + kIdentityAt, IdentityBytes(identity).bytes.data(), kIdentityBytes);
  if (facts.edgeRead) head[0] = static_cast<char>(head[0] | kEdgeFlag);
  spill_->Append(std::string_view(head, sizeof head));
  spill_->Append(path);
}

void TwinFinder::Find(const std::filesystem::path& root, FileIdentity rootIdentity, int workers,
                      const std::atomic<int>& stop, const std::function<void(Twin&&)>& found) {
  if (!duplicates_ && !thumbnails_) return;
  spill_->Flush();

  // Only the notes whose size and edges (or thumbnail length) could meet a twin are kept.
  std::vector<Candidate> copies, jpegFiles, embedded;
  {
    std::vector<char> buffer;
    uint64_t bufferStart = 0;
    const auto bytesAt = [&](uint64_t at, size_t count) -> const char* {
      if (at < bufferStart || at + count > bufferStart + buffer.size()) {
        buffer.resize(std::max(kChunk, count));
        const size_t got = static_cast<size_t>(std::min<uint64_t>(buffer.size(), spill_->size() - at));
        buffer.resize(got);
        if (got < count || !spill_->Read(at, buffer.data(), got)) return nullptr;
        bufferStart = at;
      }
      return buffer.data() + (at - bufferStart);
    };
    for (uint64_t at = 0; at < spill_->size() && !Stopped(stop);) {
      const auto* head = reinterpret_cast<const uint8_t*>(bytesAt(at, kRecordHead));
      if (head == nullptr) break;
      const uint8_t flags = head[0];
      const uint32_t pathLength = LoadU32(head + 1);
      const Candidate note{LoadU64(head + 13), at, static_cast<int64_t>(LoadU64(head + 5)),
                           static_cast<int64_t>(LoadU64(head + 21)), LoadU64(head + 37), LoadU64(head + 45)};
      const int64_t thumbnailLength = static_cast<int64_t>(LoadU64(head + 29));
      if (duplicates_ && (flags & kEdgeFlag) != 0 && sizeCounts_[CopySlot(static_cast<uint64_t>(note.size), note.edge)] >= 2)
        copies.push_back(note);
      if ((flags & kJpegFlag) != 0 && FlagSet(thumbnailSizes_, Slot(static_cast<uint64_t>(note.size), kFlagBits)))
        jpegFiles.push_back(note);
      if ((flags & kThumbnailFlag) != 0 && FlagSet(jpegSizes_, Slot(static_cast<uint64_t>(thumbnailLength), kFlagBits))) {
        Candidate picture = note;
        picture.size = thumbnailLength;
        embedded.push_back(picture);
      }
      at += kRecordHead + pathLength;
    }
  }
  std::vector<uint8_t>().swap(sizeCounts_);

  const ListedTree tree(root, rootIdentity);
  const auto load = [&](const Candidate& candidate) {
    Member member;
    member.ordinal = candidate.ordinal;
    member.size = candidate.size;
    member.thumbnailOffset = candidate.thumbnailOffset;
    member.thumbnailHash = candidate.thumbnailHash;
    char head[kRecordHead];
    if (!spill_->Read(candidate.spillAt, head, sizeof head)) {
      member.readable = false;
      return member;
    }
    member.edge = candidate.edge;
    member.identity = IdentityFromBytes(std::string_view(head + kIdentityAt, kIdentityBytes));
    member.path.resize(LoadU32(reinterpret_cast<const uint8_t*>(head + 1)));
    member.readable = spill_->Read(candidate.spillAt + kRecordHead, member.path.data(), member.path.size());
    return member;
  };
  std::atomic<bool> openBelow{true};
  const auto open = [&](const Member& member) {
    if (openBelow.load(std::memory_order_relaxed) && tree.rootFd() >= 0) {
      const std::string relative = RelativeBelowRoot(tree.root(), member.path);
      bool supported = true;
      UniqueFd fd = relative.empty() ? UniqueFd() : OpenRegularFileBelow(tree.rootFd(), relative, member.identity, supported);
      if (supported) return fd;
      openBelow = false;
    }
    const std::optional<ListedTree::Entry> entry = tree.Reach(member.path, member.identity);
    return entry ? OpenListedFile(*entry, member.identity) : UniqueFd();
  };
  std::vector<Twin> twins;
  std::mutex twinsLock;
  const auto add = [&](Kind kind, const Member& member, const Member& kept) {
    const std::lock_guard lock(twinsLock);
    twins.push_back({kind, member.path, member.size, member.identity, kept.path, member.ordinal});
  };

  // Copies: the same size, then the same first and last 4 KiB (hashed during the walk), then the
  // same hash of all bytes, then the same bytes.
  if (!copies.empty()) {
    std::sort(copies.begin(), copies.end(), [](const Candidate& a, const Candidate& b) {
      return a.size != b.size ? a.size < b.size : a.edge != b.edge ? a.edge < b.edge : a.ordinal < b.ordinal;
    });
    std::vector<std::pair<size_t, size_t>> groups;  // [first, end) of candidates with the same size and edges
    for (size_t i = 0; i < copies.size();) {
      size_t end = i + 1;
      while (end < copies.size() && copies[end].size == copies[i].size && copies[end].edge == copies[i].edge) ++end;
      if (end - i >= 2) groups.emplace_back(i, end);
      i = end;
    }
    ParallelFor(groups.size(), workers, stop, [&](size_t g) {
      std::vector<Member> members;
      for (size_t i = groups[g].first; i < groups[g].second; ++i) members.push_back(load(copies[i]));
      const bool hold = members.size() <= kGroupHeldOpen;
      const auto fdOf = [&](Member& member) {
        if (!member.fd) member.fd = open(member);
        return member.fd.get();
      };
      const auto release = [&](Member& member) {
        if (!hold) member.fd.reset();
      };
      const int64_t size = members.front().size;
      if (members.size() == 2) {
        const int a = fdOf(members[0]), b = a >= 0 ? fdOf(members[1]) : -1;
        if (a >= 0 && b >= 0 && HashAndCompare(a, b, size, members[0].full, members[1].full, stop))
          add(Kind::Duplicate, members[1], members[0]);
        return;
      }
      for (Member& member : members) {
        if (Stopped(stop)) return;
        const int fd = member.readable ? fdOf(member) : -1;
        // Files of up to 8 KiB were hashed whole with their edges.
        const std::optional<uint64_t> full =
            fd < 0 ? std::nullopt : size <= 2 * kEdge ? std::optional(member.edge) : FullHash(fd, 0, size, stop);
        member.readable = full.has_value();
        member.full = full.value_or(0);
        release(member);
      }
      std::erase_if(members, [](const Member& m) { return !m.readable; });
      std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.full < b.full; });
      // Each run of one hash in walk order: the first is kept, each other is a copy of the first
      // it equals (another kept file only where two different contents share a hash).
      for (size_t i = 0; i < members.size();) {
        size_t end = i + 1;
        while (end < members.size() && members[end].full == members[i].full) ++end;
        std::vector<size_t> kept{i};
        for (size_t k = i + 1; k < end && !Stopped(stop); ++k) {
          const int fd = fdOf(members[k]);
          bool copy = false;
          for (const size_t keeper : kept) {
            const int keptFd = fd < 0 ? -1 : fdOf(members[keeper]);
            copy = keptFd >= 0 && SameBytes(keptFd, 0, fd, 0, size, stop);
            release(members[keeper]);
            if (copy) {
              add(Kind::Duplicate, members[k], members[keeper]);
              break;
            }
          }
          release(members[k]);
          if (!copy && fd >= 0) kept.push_back(k);
        }
        i = end;
      }
    });
    std::vector<Candidate>().swap(copies);
  }

  // Thumbnails: a JPEG file of a thumbnail's length, with its hash, and then its bytes.
  if (!jpegFiles.empty() && !embedded.empty() && !Stopped(stop)) {
    // A copy is listed once, as a copy.
    std::vector<uint64_t> copied;
    for (const Twin& twin : twins) copied.push_back(twin.ordinal);
    std::sort(copied.begin(), copied.end());
    const auto bySize = [](const Candidate& a, const Candidate& b) {
      return a.size != b.size ? a.size < b.size : a.ordinal < b.ordinal;
    };
    std::sort(jpegFiles.begin(), jpegFiles.end(), bySize);
    std::sort(embedded.begin(), embedded.end(), bySize);
    std::vector<Member> files;
    std::vector<Member> pictures;
    size_t e = 0;
    for (const Candidate& file : jpegFiles) {
      while (e < embedded.size() && embedded[e].size < file.size) ++e;
      if (e < embedded.size() && embedded[e].size == file.size) {
        Member member = load(file);
        if (!std::binary_search(copied.begin(), copied.end(), member.ordinal)) files.push_back(std::move(member));
      }
    }
    for (const Candidate& picture : embedded) {
      const auto match = std::lower_bound(jpegFiles.begin(), jpegFiles.end(), picture,
                                          [](const Candidate& a, const Candidate& b) { return a.size < b.size; });
      if (match != jpegFiles.end() && match->size == picture.size) pictures.push_back(load(picture));
    }
    std::vector<Candidate>().swap(jpegFiles);
    std::vector<Candidate>().swap(embedded);
    std::sort(pictures.begin(), pictures.end(), [](const Member& a, const Member& b) {
      return a.size != b.size ? a.size < b.size : a.thumbnailHash != b.thumbnailHash ? a.thumbnailHash < b.thumbnailHash
                                                                                      : a.ordinal < b.ordinal;
    });
    ParallelFor(files.size(), workers, stop, [&](size_t i) {
      Member& file = files[i];
      const UniqueFd fd = file.readable ? open(file) : UniqueFd();
      const std::optional<uint64_t> hash = fd ? FullHash(fd.get(), 0, file.size, stop) : std::nullopt;
      if (!hash) return;
      Member key;
      key.size = file.size;
      key.thumbnailHash = *hash;
      auto picture = std::lower_bound(pictures.begin(), pictures.end(), key, [](const Member& a, const Member& b) {
        return a.size != b.size ? a.size < b.size : a.thumbnailHash < b.thumbnailHash;
      });
      for (; picture != pictures.end() && picture->size == file.size && picture->thumbnailHash == *hash; ++picture) {
        if (!picture->readable || picture->ordinal == file.ordinal) continue;
        const UniqueFd pictureFd = open(*picture);
        if (pictureFd && SameBytes(pictureFd.get(), picture->thumbnailOffset, fd.get(), 0, file.size, stop)) {
          add(Kind::Thumbnail, file, *picture);
          return;
        }
      }
    });
  }

  // A search cut short by Stop may have missed copies of earlier files: it lists none, as a walk
  // stopped before them would not have met them. Stop while listing ends the list there.
  if (Stopped(stop)) return;
  std::sort(twins.begin(), twins.end(), [](const Twin& a, const Twin& b) { return a.ordinal < b.ordinal; });
  for (Twin& twin : twins) {
    if (Stopped(stop)) break;
    found(std::move(twin));
  }
}

}  // namespace brenvik
