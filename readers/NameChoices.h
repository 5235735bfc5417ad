#pragma once
// What a reader makes a name of and where it may put a document's parts: the plain values the
// readers take from File Rename's settings, not the whole settings record.
#include <cstdint>
#include <filesystem>

#include "core/TemporaryFolder.h"

namespace brenvik {

struct NameChoices {
  bool date = true;      // the date of the last save, or of the newest entry
  bool sheet = false;    // worksheet names
  bool content = true;   // leading text, or the entries' names
  bool size = false;     // an archive with bytes after its end is shortened to it
  int32_t nameLengthLimit = 64;  // no reader gathers more text than this
  std::filesystem::path temporaryFolder = DefaultTemporaryFolder();  // where document parts are extracted
};

}  // namespace brenvik
