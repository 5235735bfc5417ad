#pragma once
// The one settings record. Built with its defaults at every start and never stored.
#include <cstdint>
#include <limits>
#include <filesystem>

#include "core/TemporaryFolder.h"

namespace brenvik {

enum CacheMode : uint8_t {
  kCacheModeList = 0,   // "One time load (large memory and slow)": every result in the list
  kCacheModeFiles = 1,  // "Cache files (small memory and fast)": results in a temporary file
};

// In cache mode a pass lists only its first rows (Index 0 to 32); the rest wait in the file.
inline constexpr int32_t kCachePreviewRows = 33;
// A cache-mode pass that lists every row (the command line, which streams them and keeps none).
inline constexpr int32_t kEveryRow = std::numeric_limits<int32_t>::max();

struct AppSettings {
  uint8_t cutToDead = 1;   // Invalid Files: Delete moves into DEAD_DEAD_DEAD instead of deleting
  uint8_t date = 1;        // File Rename: the date of the last save
  uint8_t sheet = 0;       // File Rename: worksheet names
  uint8_t content = 1;     // File Rename: leading text
  uint8_t cacheMode = kCacheModeFiles;
  uint8_t size = 0;        // File Rename: archive size shortening
  int32_t nameLengthLimit = 64;
  std::filesystem::path temporaryFolder = DefaultTemporaryFolder();
};

}  // namespace brenvik
