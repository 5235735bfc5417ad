#include "extension/MagicFileTypes.h"

#include <magic.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FileOps.h"

namespace brenvik {
namespace {

// What libmagic is shown of a file: enough for the formats it tells by a structure further in.
constexpr size_t kBytesShown = 64 * 1024;

class MagicCookie {
 public:
  MagicCookie() : cookie_(magic_open(MAGIC_EXTENSION | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_ELF)) {
    if (cookie_ != nullptr && magic_load(cookie_, nullptr) != 0) {
      magic_close(cookie_);
      cookie_ = nullptr;
    }
  }
  ~MagicCookie() {
    if (cookie_ != nullptr) magic_close(cookie_);
  }
  MagicCookie(const MagicCookie&) = delete;
  MagicCookie& operator=(const MagicCookie&) = delete;
  magic_t get() const { return cookie_; }

 private:
  magic_t cookie_;
};

// Each answer's extensions, kept for the program's life: the types hand out views of them. The
// database knows a bounded number of answers, so this stays small.
std::span<const std::string_view> KeptExtensions(const std::string& answer) {
  static std::mutex mutex;
  static std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string_view>>> kept;
  const std::lock_guard lock(mutex);
  auto [entry, added] = kept.try_emplace(answer);
  auto& [texts, views] = entry->second;
  if (added) {
    for (size_t from = 0; from <= answer.size();) {
      const size_t slash = std::min(answer.find('/', from), answer.size());
      std::string extension = answer.substr(from, slash - from);
      for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      const bool plain = !extension.empty() && extension.size() <= 16 &&
                         extension.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-+") == std::string::npos;
      if (plain) texts.push_back(std::move(extension));
      from = slash + 1;
    }
    texts.shrink_to_fit();  // the views below point into these strings, which never move again
    for (const std::string& text : texts) views.emplace_back(text);
  }
  return views;
}

}  // namespace

FileType MagicFileType(int fd) {
  thread_local MagicCookie cookie;
  if (cookie.get() == nullptr || fd < 0) return {};
  std::vector<char> bytes(kBytesShown);
  const int64_t got = ReadAt(fd, bytes.data(), bytes.size(), 0);
  if (got <= 0) return {};
  const char* answer = magic_buffer(cookie.get(), bytes.data(), static_cast<size_t>(got));
  if (answer == nullptr || std::string_view(answer) == "???") return {};
  const std::span<const std::string_view> extensions = KeptExtensions(answer);
  if (extensions.empty()) return {};
  return {extensions.front(), extensions};
}

}  // namespace brenvik
