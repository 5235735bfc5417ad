#include "readers/DocumentReader.h"
#include "readers/NameExtraction.h"
#include "rename/ContentReaders.h"

namespace brenvik {
namespace {

// A fresh reader per file, released when the call returns. `reader.settings` stays at its
// defaults unless the file type takes the tool's settings.
DocumentTexts TextsOf(DocumentReader& reader) {
  return {std::move(reader.dateText), std::move(reader.sheetText), std::move(reader.contentText)};
}

}  // namespace

ContentReaders DocumentContentReaders(const std::atomic<int>* stop) {
  ContentReaders readers;
  // Word and Excel 97-2003 documents keep the reader's default settings (gathering limit 64).
  readers.word = [stop](const std::filesystem::path& path, const AppSettings&) {
    DocumentReader reader;
    reader.stopFlag = stop;
    reader.ReadWordDocument(path);
    return TextsOf(reader);
  };
  readers.excel = [stop](const std::filesystem::path& path, const AppSettings&) {
    DocumentReader reader;
    reader.stopFlag = stop;
    reader.ReadExcelWorkbook(path);
    return TextsOf(reader);
  };
  // The packages take the tool's settings: its limit, its Sheet and Content flags and the
  // temporary folder their parts are extracted into.
  readers.docx = [stop](const std::filesystem::path& path, const AppSettings& settings) {
    DocumentReader reader;
    reader.stopFlag = stop;
    reader.settings = settings;
    reader.ReadDocx(path);
    return TextsOf(reader);
  };
  readers.xlsx = [stop](const std::filesystem::path& path, const AppSettings& settings) {
    DocumentReader reader;
    reader.stopFlag = stop;
    reader.settings = settings;
    reader.ReadXlsx(path);
    return TextsOf(reader);
  };
  readers.zip = NameFromZip;
  readers.rar = NameFromRar;
  readers.pdf = [](const std::filesystem::path& path, const AppSettings&) { return NameFromPdf(path); };
  readers.text = NameFromText;
  readers.photo = ReadPhotoFacts;
  readers.music = ReadMusicFacts;
  readers.video = ReadVideoFacts;
  return readers;
}

}  // namespace brenvik
