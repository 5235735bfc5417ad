// The input is one XML part: the first byte picks which, the rest is the part's text. It is
// packed into a package the way an office suite would store it, then read for its names.
#include <minizip/zip.h>

#include "fuzz/readers/FuzzInput.h"
#include "readers/DocumentReader.h"

namespace {

constexpr const char* kParts[] = {"word/document.xml", "xl/workbook.xml", "xl/sharedStrings.xml",
                                  "xl/worksheets/sheet1.xml"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int part = data[0] % 4;
  const auto path = brenvik::fuzzing::ScratchFolder() / "input.zip";
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return 0;
  zip_fileinfo info{};
  zipOpenNewFileInZip(zip, kParts[part], &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 1);
  zipWriteInFileInZip(zip, data + 1, static_cast<unsigned>(size - 1));
  zipCloseFileInZip(zip);
  zipClose(zip, nullptr);

  brenvik::DocumentReader reader;
  reader.choices.temporaryFolder = brenvik::fuzzing::ScratchFolder() / "tvk";
  reader.choices.sheet = 1;
  if (part == 0)
    reader.ReadDocx(path);
  else
    reader.ReadXlsx(path);
  return 0;
}
