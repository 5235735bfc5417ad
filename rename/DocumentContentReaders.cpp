#include "readers/DocumentReader.h"
#include "readers/NameExtraction.h"
#include "rename/ContentReaders.h"

namespace brenvik {
namespace {

// What the readers take of the tool's settings.
NameChoices NameChoicesOf(const AppSettings& settings) {
  return {settings.date != 0, settings.sheet != 0, settings.content != 0, settings.size != 0, settings.nameLengthLimit,
          settings.temporaryFolder};
}

// A fresh reader per file, released when the call returns. `reader.choices` stays at its
// defaults unless the file type takes the tool's settings.
DocumentTexts TextsOf(DocumentReader& reader) {
  return {std::move(reader.dateText), std::move(reader.sheetText), std::move(reader.contentText)};
}

}  // namespace

ContentReaders DocumentContentReaders(const std::atomic<int>* stop) {
  ContentReaders readers;
  // Word and Excel 97-2003 documents keep the reader's default choices (gathering limit 64).
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
    reader.choices = NameChoicesOf(settings);
    reader.ReadDocx(path);
    return TextsOf(reader);
  };
  readers.xlsx = [stop](const std::filesystem::path& path, const AppSettings& settings) {
    DocumentReader reader;
    reader.stopFlag = stop;
    reader.choices = NameChoicesOf(settings);
    reader.ReadXlsx(path);
    return TextsOf(reader);
  };
  readers.zip = [](const std::filesystem::path& path, const AppSettings& settings) {
    return NameFromZip(path, NameChoicesOf(settings));
  };
  readers.rar = [](const std::filesystem::path& path, const AppSettings& settings) {
    return NameFromRar(path, NameChoicesOf(settings));
  };
  readers.pdf = [](const std::filesystem::path& path, const AppSettings&) { return NameFromPdf(path); };
  readers.text = [](const std::filesystem::path& path, const AppSettings& settings) {
    return NameFromText(path, NameChoicesOf(settings));
  };
  readers.photo = ReadPhotoFacts;
  readers.music = ReadMusicFacts;
  readers.video = ReadVideoFacts;
  return readers;
}

}  // namespace brenvik
