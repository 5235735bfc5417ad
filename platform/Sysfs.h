#pragma once
// sysfs attributes: the short texts the kernel describes devices with. Each is read whole, at
// most a few KiB (anything longer is not an attribute), from any tree a test points at.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// The raw bytes of an attribute; nullopt when it cannot be read.
std::optional<std::string> ReadSysfsBytes(const std::filesystem::path& path);
// A text attribute without its trailing line feed (or NUL).
std::optional<std::string> ReadSysfsAttribute(const std::filesystem::path& path);
// The first line of an attribute without trailing blanks; empty when it cannot be read.
std::string ReadSysfsLine(const std::filesystem::path& path);
// A whole number attribute (blanks around it allowed).
std::optional<int64_t> ReadSysfsInteger(const std::filesystem::path& path);
// The same for a number taken from an attribute's text.
std::optional<int64_t> ParseSysfsInteger(std::string_view text);

}  // namespace brenvik
