// File Rename timings, each against a reference measured in the same run:
//  - Rename of 10,000 mixed recovered documents (all eight types), warm cache, against a bare walk
//    that opens every file and reads its first 512 bytes;
//  - Check of a 100,000-file tree, which looks at names only, against a bare readdir walk.
//
// Usage: rename_bench [work folder]   (default: a new folder under /tmp; removed afterwards)
#include <dirent.h>
#include <fcntl.h>
#include <minizip/zip.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/DirectoryWalk.h"
#include "platform/PathText.h"
#include "rename/RenameJob.h"

namespace fs = std::filesystem;
using namespace brenvik;

namespace {

const fs::path kFixtures = BRENVIK_RENAME_DATA;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class F>
double Time(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start);
}


void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void Put16(std::string& s, uint32_t v) { s += char(v & 0xFF); s += char((v >> 8) & 0xFF); }
void Put32(std::string& s, uint32_t v) { Put16(s, v & 0xFFFF); Put16(s, v >> 16); }

// A RAR 1.5-4.x block: CRC-16 (low half of the CRC-32 of everything after it), then the block.
std::string RarBlock(const std::string& afterCrc) {
  const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(afterCrc.data()), static_cast<uInt>(afterCrc.size()));
  std::string block;
  Put16(block, crc & 0xFFFF);
  return block + afterCrc;
}

// A stored RAR 1.5-4.x archive holding the given plain files, with an end block.
std::string MakeRar(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string rar("Rar!\x1a\x07\x00", 7);
  std::string main;
  main += char(0x73);
  Put16(main, 0);
  Put16(main, 13);
  main += std::string(6, '\0');
  rar += RarBlock(main);
  for (const auto& [name, data] : files) {
    std::string head;
    head += char(0x74);
    Put16(head, 0x8000);
    Put16(head, static_cast<uint32_t>(32 + name.size()));
    Put32(head, static_cast<uint32_t>(data.size()));  // packed size
    Put32(head, static_cast<uint32_t>(data.size()));  // unpacked size
    head += char(2);                                  // made on Windows
    Put32(head, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    Put32(head, 0x40654321);  // DOS time
    head += char(20);
    head += char(0x30);  // stored
    Put16(head, static_cast<uint32_t>(name.size()));
    Put32(head, 0x20);
    head += name;
    rar += RarBlock(head) + data;
  }
  std::string end;
  end += char(0x7B);
  Put16(end, 0x4000);
  Put16(end, 7);
  return rar + RarBlock(end);
}

bool MakeZip(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& entries) {
  zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return false;
  for (const auto& [name, data] : entries) {
    zip_fileinfo info{};
    info.tmz_date = {7, 7, 14, 5, 2, 2012};
    zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION);
    zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size()));
    zipCloseFileInZip(zip);
  }
  return zipClose(zip, nullptr) == ZIP_OK;
}

// 10,000 documents, 1,250 of each type, in 20 folders.
std::vector<fs::path> MakeDocuments(const fs::path& folder) {
  const fs::path samples = folder / "samples";
  fs::create_directories(samples);
  MakeZip(samples / "s.zip", {{"docs/contract.doc", std::string(3000, 'c')}, {"docs/invoice.xls", std::string(2000, 'i')}});
  Write(samples / "s.rar", MakeRar({{"plan.doc", std::string(4000, 'p')}, {"budget.xls", std::string(1000, 'b')}}));
  Write(samples / "s.txt", "Quarterly report 2012\r\nFigures for the third quarter, by region.\r\n" + std::string(2000, 'x'));
  const std::vector<fs::path> sources{kFixtures / "report.doc", kFixtures / "budget.xls", kFixtures / "report.docx",
                                      kFixtures / "budget.xlsx", samples / "s.zip",       samples / "s.rar",
                                      kFixtures / "report.pdf",  samples / "s.txt"};
  std::vector<fs::path> made;
  for (int i = 0; i < 10000; ++i) {
    const fs::path sub = folder / "docs" / std::to_string(i % 20);
    fs::create_directories(sub);
    const fs::path& source = sources[i % sources.size()];
    made.push_back(sub / (std::to_string(100000 + i) + source.extension().string()));
    fs::copy_file(source, made.back());
  }
  fs::remove_all(samples);
  return made;
}

// 100,000 empty files in 100 folders; half carry one of the eight extensions.
void MakeTree(const fs::path& folder) {
  const char* extensions[] = {".doc", ".jpg", ".xls", ".bin", ".docx", ".dat", ".xlsx", ".DOC",
                              ".zip", ".png", ".rar", ".mp3", ".pdf",  ".tmp", ".txt",  ".html"};
  for (int d = 0; d < 100; ++d) {
    const fs::path sub = folder / ("dir" + std::to_string(d));
    fs::create_directories(sub);
    for (int i = 0; i < 1000; ++i) {
      const std::string name = "file" + std::to_string(d * 1000 + i) + extensions[i % 16];
      const int fd = ::open((sub / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
}

// The reference for Check: recursive readdir, names only.
int64_t BareReaddirWalk(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int64_t files = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (entry->d_type == DT_DIR) files += BareReaddirWalk(folder + "/" + name);
    else if (entry->d_type == DT_REG) ++files;
  }
  ::closedir(dir);
  return files;
}

// The reference for Rename: open every file, read its first 512 bytes, close.
int64_t BareReadWalk(const std::vector<fs::path>& files) {
  char buffer[512];
  int64_t bytes = 0;
  for (const fs::path& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    bytes += got > 0 ? got : 0;
    ::close(fd);
  }
  return bytes;
}

// Keeps the rows, as the page's list does, for the Rename that follows.
struct CountingSink : RenameJobSink {
  void rowFound(int32_t, const std::u16string& path) override { rows.push_back({static_cast<int32_t>(rows.size()), path}); }
  void rowDone(int32_t) override {}
  void statusText(const std::u16string& text) override { status = text; }
  void numbers(int32_t count) override { last = count; }
  void numbers(int32_t done, int32_t) override { last = done; }
  int32_t last = 0;
  std::vector<CheckedRow> rows;
  std::u16string status;
};

// Check proper: what reaches the page is dropped.
struct NullSink : RenameJobSink {
  void rowFound(int32_t, const std::u16string&) override {}
  void rowDone(int32_t) override {}
  void statusText(const std::u16string&) override {}
  void numbers(int32_t) override {}
  void numbers(int32_t, int32_t) override {}
};

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  fs::path work;
  if (argc > 1) {
    work = argv[1];
    fs::create_directories(work);
  } else {
    std::string pattern = (fs::temp_directory_path() / "rename-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    work = pattern;
  }
  AppSettings settings;
  settings.temporaryFolder = work / "tvk";
  fs::create_directories(settings.temporaryFolder);
  std::atomic<int> stop{0};

  // Rename of 10,000 mixed documents.
  {
    const std::vector<fs::path> documents = MakeDocuments(work);
    BareReadWalk(documents);  // warm the cache
    const double reference = Time([&] { BareReadWalk(documents); });

    RenameEngine engine(DocumentContentReaders());
    settings.cacheMode = kCacheModeList;
    engine.setSettings(settings);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    CountingSink sink;
    RunCheck(engine, work / "docs", stop, sink);
    const double seconds = Time([&] { RunListRename(engine, sink.rows, static_cast<int32_t>(sink.rows.size()), stop, sink); });
    int64_t renamed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(work / "docs"))
      renamed += entry.path().filename().string().find('#') != std::string::npos ? 1 : 0;
    std::printf("Rename: %zu documents in %.2f s (%.0f files/s), %lld renamed; goal < 15 s\n", sink.rows.size(), seconds,
                sink.rows.size() / seconds, static_cast<long long>(renamed));
    std::printf("  bare open+read(512) walk over the same files: %.3f s; Rename takes %.1f times as long\n", reference,
                seconds / reference);
    fs::remove_all(work / "docs");
  }

  // Check of a 100,000-file tree.
  {
    const fs::path tree = work / "tree";
    MakeTree(tree);
    RenameEngine engine({});
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    std::vector<double> bare, listCheck, cacheCheck, platformWalk;
    int64_t walked = 0;
    size_t selected = 0;
    for (int round = 0; round < 9; ++round) {
      bare.push_back(Time([&] { walked = BareReaddirWalk(tree.native()); }));
      platformWalk.push_back(Time([&] {
        WalkOptions o; o.wantSize = false;
        size_t n = 0;
        WalkTree(tree, o, [&](const WalkEntry& e) { n += engine.Select(e.path) ? 1 : 0; return WalkControl::Continue; });
      }));
      settings.cacheMode = kCacheModeList;
      engine.setSettings(settings);
      listCheck.push_back(Time([&] {
        NullSink sink;
        selected = static_cast<size_t>(RunCheck(engine, tree, stop, sink).rowCounter);
      }));
      settings.cacheMode = kCacheModeFiles;
      engine.setSettings(settings);
      cacheCheck.push_back(Time([&] {
        NullSink sink;
        const CheckOutcome outcome = RunCheck(engine, tree, stop, sink);
        fs::remove(outcome.resultFile);
      }));
    }
    const double b = Best(bare), l = Best(listCheck), c = Best(cacheCheck);
    std::printf("Check: %lld files walked, %zu selected (best of 9, warm cache)\n", static_cast<long long>(walked),
                selected);
    std::printf("  bare readdir walk %.3f s; list-mode Check %.3f s (%.2f of the walk's speed); "
                "cache-mode Check %.3f s (%.2f); goal 0.9\n",
                b, l, b / l, c, b / c);
    std::printf("  platform walk + Select %.3f s\n", Best(platformWalk));
    fs::remove_all(tree);
  }
  fs::remove_all(work);
  return 0;
}
