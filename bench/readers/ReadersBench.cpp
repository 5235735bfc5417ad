// Usage: readers_bench [folder]   (default: a new folder below the system temporary folder)
// Builds the corpus, measures, prints the figures and ratios, and removes the corpus again.
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "readers/DocumentReader.h"
#include "readers/NameExtraction.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/readers/CompoundFileBuilder.h"

namespace fs = std::filesystem;
using namespace brenvik;
using namespace brenvik::testing;

namespace {

std::mt19937 rng(42);

std::string Words(size_t bytes) {
  static const char* words[] = {"annual ", "report ", "budget ", "meeting ", "minutes ", "quarter ", "sales ",
                                "2012 ", "final, ", "draft. ", "\r\n"};
  std::string text;
  while (text.size() < bytes) text += words[rng() % 11];
  return text;
}

std::string Random(size_t bytes) {
  std::string s(bytes, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le16(uint16_t v) { return Le16Bytes(v); }

// A Word document whose text is one 8-bit piece.
std::string WordFile(const std::string& text) {
  std::string table = "\x02" + Le32Bytes(12 + 4) + Le32Bytes(0) + Le32Bytes(static_cast<uint32_t>(text.size())) +
                      Le16(0) + Le32Bytes((0x600u << 1) | 0x40000000) + Le16(0);
  table += std::string(64, '\0');
  std::string main(0x600 + text.size(), '\0');
  PutU16(main, 0, 0xA5EC);
  PutU16(main, 32, 14);
  PutU16(main, 62, 22);
  PutU16(main, 152, 0x6C);
  PutU32(main, 418, 0);
  PutU32(main, 422, 21);
  main.replace(0x600, text.size(), text);
  return CompoundFileBuilder().add(u"WordDocument", main).add(u"0Table", table).add(u"Data", Random(8000)).build();
}

std::string ExcelFile() {
  const auto record = [](uint16_t type, const std::string& body) {
    return Le16(type) + Le16(static_cast<uint16_t>(body.size())) + body;
  };
  std::string workbook = record(0x809, std::string(16, '\0'));
  for (const char* sheet : {"Summary", "Data", "Notes"})
    workbook += record(0x85, Le32Bytes(0) + std::string(2, '\0') + char(std::strlen(sheet)) + '\0' + sheet);
  std::string strings = Le32Bytes(50) + Le32Bytes(50);
  for (int i = 0; i < 50; ++i) {
    const std::string s = Words(20).substr(0, 20);
    strings += Le16(20) + '\0' + s;
  }
  workbook += record(0xFC, strings);
  while (workbook.size() < 30000) workbook += record(0x203, Random(14));  // number cells
  return CompoundFileBuilder().add(u"Workbook", workbook).build();
}

std::string DocxXml(size_t textBytes) {
  std::string body;
  while (body.size() < textBytes) body += "<w:p><w:r><w:t xml:space=\"preserve\">" + Words(200) + "</w:t></w:r></w:p>";
  return "<?xml version=\"1.0\"?><w:document xmlns:w=\"x\"><w:body>" + body + "</w:body></w:document>";
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The physical reference: open every file and read its first 512 bytes.
void BareWalk(const std::vector<fs::path>& files) {
  char buffer[512];
  for (const auto& f : files) {
    UniqueFd fd = OpenShared(f);
    if (fd) ReadAt(fd.get(), buffer, sizeof buffer, 0);
  }
}

void ReadWhole(const fs::path& path) {
  std::vector<char> buffer(1 << 20);
  UniqueFd fd = OpenShared(path);
  for (int64_t at = 0;; at += static_cast<int64_t>(buffer.size()))
    if (ReadAt(fd.get(), buffer.data(), buffer.size(), at) <= 0) break;
}

size_t NameMaterial(const fs::path& path, const NameChoices& settings) {
  const std::string ext = path.extension().string();
  DocumentReader reader;
  reader.choices = settings;
  if (ext == ".doc") reader.ReadWordDocument(path);
  else if (ext == ".xls") reader.ReadExcelWorkbook(path);
  else if (ext == ".docx") reader.ReadDocx(path);
  else if (ext == ".xlsx") reader.ReadXlsx(path);
  else if (ext == ".zip") return NameFromZip(path, settings).size();
  else if (ext == ".rar") return NameFromRar(path, settings).size();
  else if (ext == ".pdf") return NameFromPdf(path).size();
  else if (ext == ".txt") return NameFromText(path, settings).size();
  return reader.dateText.size() + reader.sheetText.size() + reader.contentText.size();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "brenvik-readers-bench";
  fs::remove_all(root);
  fs::create_directories(root / "corpus");
  NameChoices settings;
  settings.sheet = 1;
  settings.temporaryFolder = root / "tvk";

  std::vector<fs::path> files;
  for (int i = 0; i < 125; ++i) {
    const fs::path base = root / "corpus" / std::to_string(i);
    const auto add = [&](const char* ext, const std::string& bytes) {
      files.push_back(base.string() + ext);
      Write(files.back(), bytes);
    };
    add(".doc", WordFile(Words(40'000)));
    add(".xls", ExcelFile());
    WriteZip(base.string() + ".docx", {{"[Content_Types].xml", Words(1000)}, {"word/document.xml", DocxXml(30'000)},
                                       {"word/styles.xml", Words(20'000)}});
    files.push_back(base.string() + ".docx");
    WriteZip(base.string() + ".xlsx",
             {{"xl/workbook.xml", "<workbook><sheets><sheet name=\"Summary\"/><sheet name=\"Data\"/></sheets></workbook>"},
              {"xl/sharedStrings.xml", "<sst><si><t>" + Words(3000) + "</t></si></sst>"},
              {"xl/worksheets/sheet1.xml", "<worksheet><sheetData>" + Words(20'000) + "</sheetData></worksheet>"}});
    files.push_back(base.string() + ".xlsx");
    WriteZip(base.string() + ".zip", {{"scans/page1.jpg", Random(60'000)}, {"scans/page2.jpg", Random(40'000)},
                                      {"notes.txt", Words(5000)}});
    files.push_back(base.string() + ".zip");
    add(".rar", Rar4Archive({{"scans\\page1.jpg", 0x20, 2, Random(60'000)}, {"notes.txt", 0x20, 2, Random(40'000)}}));
    add(".pdf", "%PDF-1.4\n" + Random(200'000) + "\n<< /Producer (x) /CreationDate (D:20120305140709+08'00') >>\n%%EOF\n");
    add(".txt", Words(5000));
  }

  // Best of three passes, since other work on the machine adds noise; per type as well.
  size_t material = 0;
  std::map<std::string, double> perType;
  double bare = 1e9, readers = 1e9;
  for (int pass = 0; pass < 3; ++pass) {
    bare = std::min(bare, Seconds([&] { BareWalk(files); }));
    std::map<std::string, double> typeTimes;
    material = 0;
    readers = std::min(readers, Seconds([&] {
      for (const auto& f : files) {
        const auto start = std::chrono::steady_clock::now();
        material += NameMaterial(f, settings);
        typeTimes[f.extension().string()] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
    }));
    for (const auto& [type, t] : typeTimes) perType[type] = pass == 0 ? t : std::min(perType[type], t);
  }
  std::printf("1,000 mixed documents: readers %.3f s, bare open+read(512) walk %.4f s, ratio %.1fx (%zu characters)\n",
              readers, bare, readers / bare, material);
  for (const auto& [type, t] : perType) std::printf("  %s x125: %.3f s\n", type.c_str(), t);

  // Large documents: the readers stop once they have enough text.
  // big.docx is mostly pictures, as large documents are; all-text.docx holds 50 MB of XML, which
  // the package reader must extract and parse whole.
  const fs::path bigDoc = root / "big.doc", bigDocx = root / "big.docx", textDocx = root / "all-text.docx";
  Write(bigDoc, WordFile(Words(50'000'000)));
  WriteZip(bigDocx, {{"word/document.xml", DocxXml(1'000'000)}, {"word/media/image1.png", Random(49'000'000)}});
  WriteZip(textDocx, {{"word/document.xml", DocxXml(50'000'000)}});
  for (const auto& big : {bigDoc, bigDocx, textDocx}) {
    ReadWhole(big);
    const double whole = Seconds([&] { ReadWhole(big); });
    const double named = Seconds([&] { NameMaterial(big, settings); });
    std::printf("%s (%.1f MB): reader %.2f ms, reading the file whole %.2f ms, ratio %.4f\n",
                big.filename().c_str(), static_cast<double>(fs::file_size(big)) / 1e6, named * 1e3, whole * 1e3, named / whole);
  }
  fs::remove_all(root);
  return 0;
}
