#include "platform/Sysfs.h"

#include <charconv>
#include <string_view>

#include "platform/FileOps.h"

namespace brenvik {

namespace {

constexpr size_t kMaxAttributeBytes = 4096;

}  // namespace

std::optional<std::string> ReadSysfsBytes(const std::filesystem::path& path) {
  const UniqueFd fd = OpenShared(path);
  if (!fd) return std::nullopt;
  std::string bytes(kMaxAttributeBytes, '\0');
  const int64_t got = ReadFull(fd.get(), bytes.data(), bytes.size());
  if (got < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(got));
  return bytes;
}

std::optional<std::string> ReadSysfsAttribute(const std::filesystem::path& path) {
  std::optional<std::string> text = ReadSysfsBytes(path);
  if (text) {
    while (!text->empty() && (text->back() == '\n' || text->back() == '\0')) text->pop_back();
  }
  return text;
}

std::string ReadSysfsLine(const std::filesystem::path& path) {
  std::string line = ReadSysfsBytes(path).value_or(std::string());
  line.resize(std::min(line.find('\n'), line.size()));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\0')) line.pop_back();
  return line;
}

std::optional<int64_t> ReadSysfsInteger(const std::filesystem::path& path) {
  const std::optional<std::string> attribute = ReadSysfsAttribute(path);
  return attribute ? ParseSysfsInteger(*attribute) : std::nullopt;
}

std::optional<int64_t> ParseSysfsInteger(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace brenvik
