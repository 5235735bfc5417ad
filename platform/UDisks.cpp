#include "platform/UDisks.h"

#include <fcntl.h>

#include <cctype>
#include <cstdio>
#include <optional>
#include <system_error>

#if BRENVIK_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace brenvik {

namespace fs = std::filesystem;

std::string UDisksBlockObject(const std::string& name) {
  // udisks2 keeps letters and digits and writes any other byte as "_" and two hex digits.
  std::string path = "/org/freedesktop/UDisks2/block_devices/";
  for (const unsigned char c : name) {
    if (std::isalnum(c) != 0 && c < 0x80) {
      path += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "_%02x", c);
      path += escaped;
    }
  }
  return path;
}

#if BRENVIK_HAVE_SDBUS

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kBlock = "org.freedesktop.UDisks2.Block";
// Long enough for the user to read polkit's question and type a password.
constexpr uint64_t kAnswerMicroseconds = uint64_t{300} * 1000 * 1000;

struct Bus {
  sd_bus* bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }
};
struct Message {
  sd_bus_message* message = nullptr;
  ~Message() { sd_bus_message_unref(message); }
};
struct Error {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&error); }
};

bool Connect(Bus& bus, const std::string& address) {
  if (address.empty()) return sd_bus_open_system(&bus.bus) >= 0;
  return sd_bus_new(&bus.bus) >= 0 && sd_bus_set_address(bus.bus, address.c_str()) >= 0 &&
         sd_bus_set_bus_client(bus.bus, 1) >= 0 && sd_bus_start(bus.bus) >= 0;
}

// True when the error means udisks2 cannot be asked about this disk at all.
bool NotThere(const sd_bus_error& error) {
  for (const char* name : {SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_UNKNOWN_OBJECT,
                           SD_BUS_ERROR_UNKNOWN_INTERFACE, SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_PROPERTY,
                           SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT})
    if (sd_bus_error_has_name(&error, name)) return true;
  return false;
}

// The block object's device node, as udisks2 writes it (a byte string ending in NUL).
std::optional<std::string> DeviceOf(sd_bus* bus, const std::string& object, Error& error) {
  Message reply;
  if (sd_bus_get_property(bus, kService, object.c_str(), kBlock, "Device", &error.error, &reply.message, "ay") < 0)
    return std::nullopt;
  const void* bytes = nullptr;
  size_t size = 0;
  if (sd_bus_message_read_array(reply.message, 'y', &bytes, &size) < 0) return std::nullopt;
  std::string device(static_cast<const char*>(bytes), size);
  while (!device.empty() && device.back() == '\0') device.pop_back();
  return device;
}

// The block object of the disk at `node`, found by its kernel name; it must name that node, so
// that another disk is never opened instead.
std::optional<std::string> BlockObjectOf(sd_bus* bus, const fs::path& node) {
  std::error_code ignored;
  const fs::path resolved = fs::canonical(node, ignored);
  const fs::path named = resolved.empty() ? node : resolved;
  const std::string object = UDisksBlockObject(named.filename().string());
  Error error;
  const std::optional<std::string> device = DeviceOf(bus, object, error);
  if (!device || (fs::path(*device) != node && fs::path(*device) != named)) return std::nullopt;
  return object;
}

}  // namespace

bool UDisksKnowsDisk(const SystemEnv& system, const fs::path& node) {
  Bus bus;
  return Connect(bus, system.systemBus) && BlockObjectOf(bus.bus, node).has_value();
}

UDisksOpen OpenDiskThroughUDisks(const SystemEnv& system, const fs::path& node, DiskUse use) {
  UDisksOpen result;
  result.unavailable = true;
  Bus bus;
  if (!Connect(bus, system.systemBus)) return result;
  const std::optional<std::string> object = BlockObjectOf(bus.bus, node);
  if (!object) return result;

  Error error;
  Message call, reply;
  const char* method = use == DiskUse::Backup ? "OpenForBackup" : "OpenForRestore";
  if (sd_bus_message_new_method_call(bus.bus, &call.message, kService, object->c_str(), kBlock, method) < 0 ||
      sd_bus_message_append(call.message, "a{sv}", 0) < 0 ||
      sd_bus_message_set_allow_interactive_authorization(call.message, 1) < 0)
    return result;
  if (sd_bus_call(bus.bus, call.message, kAnswerMicroseconds, &error.error, &reply.message) < 0) {
    if (NotThere(error.error)) return result;
    result.unavailable = false;
    result.error = error.error.name != nullptr ? error.error.name : "";
    return result;
  }
  int fd = -1;
  if (sd_bus_message_read(reply.message, "h", &fd) < 0 || fd < 0) return result;
  // The reply owns its descriptor: a copy of it stays with the caller.
  result.fd = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  result.unavailable = !result.fd;
  return result;
}

#else

bool UDisksKnowsDisk(const SystemEnv&, const fs::path&) { return false; }

UDisksOpen OpenDiskThroughUDisks(const SystemEnv&, const fs::path&, DiskUse) {
  UDisksOpen result;
  result.unavailable = true;  // built without a D-Bus client
  return result;
}

#endif

}  // namespace brenvik
