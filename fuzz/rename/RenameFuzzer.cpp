// Feeds hostile bytes to the parts of the File Rename engine that take them: the guard between
// file contents and new paths, the name composition, and the temporary result file of a Check.
// The engine gets no readers, so no record can lead to a move.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/TemporaryFolder.h"
#include "fuzz/readers/FuzzInput.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "rename/RenameJob.h"

namespace {

struct NullReporter : brenvik::RenameReporter {};

void CheckGuard(const std::u16string& raw) {
  const std::u16string safe = brenvik::SafeNameFromContent(raw);
  if (!safe.empty() && (safe[0] == u'-' || safe[0] == u'.')) std::abort();
  for (size_t i = 0; i < safe.size(); ++i) {
    const char16_t u = safe[i];
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == u'/' || u == u'\\') std::abort();
    if (u == u'.' && i + 1 < safe.size() && safe[i + 1] == u'.') std::abort();
    const bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
    if (high && !(i + 1 < safe.size() && safe[i + 1] >= 0xDC00 && safe[i + 1] <= 0xDFFF)) std::abort();
    if (high) ++i;
    else if (low) std::abort();
  }
  // The bytes of the name hold no separator or NUL either.
  if (brenvik::TextToBytes(safe).find_first_of(std::string("/\0", 2)) != std::string::npos) std::abort();
  if (brenvik::SafeNameFromContent(safe) != safe) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));

  switch (data[0] % 3) {
    case 0:
      CheckGuard(units);
      break;
    case 1: {
      brenvik::AppSettings settings;
      settings.nameLengthLimit = static_cast<int8_t>(data[0]);
      settings.sheet = 1;
      const size_t third = units.size() / 3;
      const brenvik::DocumentTexts texts{units.substr(0, third), units.substr(third, third), units.substr(2 * third)};
      const std::u16string name = brenvik::ComposeDocumentName(texts, settings, true);
      if (name.size() > static_cast<size_t>(settings.nameLengthLimit > 0 ? settings.nameLengthLimit : 0)) std::abort();
      break;
    }
    default: {
      // A damaged temporary result file, made as a Check makes it (a Rename reads no other):
      // read it through, rename nothing, delete it.
      brenvik::TemporaryResultFile result = brenvik::CreateTemporaryResultFile(brenvik::fuzzing::ScratchFolder());
      if (!result.fd) std::abort();
      if (!brenvik::WriteFull(result.fd.get(), bytes.data(), bytes.size())) std::abort();
      result.fd.reset();
      brenvik::RenameEngine engine({});
      std::atomic<int> stop{0};
      NullReporter reporter;
      const brenvik::RenamePassOutcome renamed =
          brenvik::RunRename({engine.readers(), engine.choices(), true, nullptr, result.path, {}}, stop, reporter);
      if (::access(result.path.c_str(), F_OK) == 0) std::abort();  // used up, as after every cache-mode Rename
      if (renamed.nextNumber != 1) std::abort();
      break;
    }
  }
  return 0;
}
