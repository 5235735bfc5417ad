#pragma once
// Where the File Rename engine gets its name material: one reader call per file type. The engine
// composes document names itself from the three texts; the archive, pdf and text readers return
// finished names. Tests and benchmarks put their own functions here.
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

#include "core/AppSettings.h"
#include "readers/MediaFacts.h"

namespace brenvik {

// What a document reader found, each text already cleaned of characters a file name cannot hold.
struct DocumentTexts {
  std::u16string date;     // the time of the last save, "YYYY-MM-DD hh-mm-ss"
  std::u16string sheet;    // worksheet names, one after another (spreadsheets only)
  std::u16string content;  // the leading text
};

using DocumentTextReader = std::function<DocumentTexts(const std::filesystem::path&, const AppSettings&)>;
using NameReader = std::function<std::u16string(const std::filesystem::path&, const AppSettings&)>;
using MediaReader = std::function<MediaFacts(const std::filesystem::path&)>;

struct ContentReaders {
  // Binary Word and Excel documents are read with the reader's own default settings; the
  // settings argument is there only so every reader has the same shape.
  DocumentTextReader word;
  DocumentTextReader excel;
  DocumentTextReader docx;
  DocumentTextReader xlsx;
  NameReader zip;
  NameReader rar;   // may shorten the archive to its end block when Size is set
  NameReader pdf;
  NameReader text;
  MediaReader photo;
  MediaReader music;
  MediaReader video;
};

// The real readers of document, archive and media contents. `stop` (nonzero: stop), when given, also
// interrupts a Word, Excel or package file being read; the reader then gives no texts, so no
// name is made from half a file. It must outlive the readers.
ContentReaders DocumentContentReaders(const std::atomic<int>* stop = nullptr);

}  // namespace brenvik
