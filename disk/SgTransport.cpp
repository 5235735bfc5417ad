#include "disk/SgTransport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <scsi/sg_pt.h>
#include <scsi/sg_pt_linux.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <tuple>

#include "platform/Sysfs.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> FirstEntry(const fs::path& folder) {
  std::error_code error;
  std::optional<fs::path> first;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (!first || entry.path().filename() < first->filename()) first = entry.path();
  }
  return first;
}

}  // namespace

SgTransport::SgTransport(fs::path sysfsRoot, fs::path devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

SgTransport::~SgTransport() {
  for (auto& [address, fd] : openNodes_) scsi_pt_close_device(fd);
}

int SgTransport::adapterCount() {
  std::error_code error;
  int count = 0;
  for (const auto& entry : fs::directory_iterator(sysfsRoot_ / "class/scsi_host", error)) {
    int number = -1;
    if (std::sscanf(entry.path().filename().c_str(), "host%d", &number) == 1 && number >= 0 && number < 255)
      count = std::max(count, number + 1);
  }
  return count;
}

std::optional<HostAdapterInfo> SgTransport::inquireAdapter(int adapter) {
  const fs::path folder = sysfsRoot_ / "class/scsi_host" / ("host" + std::to_string(adapter));
  std::error_code error;
  if (!fs::is_directory(folder, error)) return std::nullopt;
  HostAdapterInfo info;
  info.adapter = adapter;
  const std::string ownId = ReadSysfsLine(folder / "this_id");
  info.ownId = ownId.empty() ? -1 : std::atoi(ownId.c_str());
  info.managerId = "SG_IO";
  info.identifier = ReadSysfsLine(folder / "proc_name").substr(0, 16);
  return info;
}

std::optional<fs::path> SgTransport::deviceFolder(const ScsiAddress& address) const {
  std::error_code error;
  std::optional<fs::path> found;
  int foundChannel = INT_MAX;
  for (const auto& entry : fs::directory_iterator(sysfsRoot_ / "class/scsi_device", error)) {
    int h = -1, c = -1, t = -1, l = -1;
    if (std::sscanf(entry.path().filename().c_str(), "%d:%d:%d:%d", &h, &c, &t, &l) != 4) continue;
    if (h == address.adapter && t == address.target && l == address.lun && c < foundChannel) {
      foundChannel = c;
      found = entry.path();
    }
  }
  return found;
}

std::optional<fs::path> SgTransport::genericNode(const ScsiAddress& address) const {
  const auto folder = deviceFolder(address);
  if (!folder) return std::nullopt;
  const auto generic = FirstEntry(*folder / "device/scsi_generic");
  if (!generic) return std::nullopt;
  return devRoot_ / generic->filename();
}

bool SgTransport::hasDevice(const ScsiAddress& address) { return genericNode(address).has_value(); }

uint64_t SgTransport::blockDeviceOf(const ScsiAddress& address) {
  const auto folder = deviceFolder(address);
  if (!folder) return 0;
  const auto block = FirstEntry(*folder / "device/block");
  if (!block) return 0;
  unsigned major = 0, minor = 0;
  if (std::sscanf(ReadSysfsLine(*block / "dev").c_str(), "%u:%u", &major, &minor) != 2) return 0;
  return makedev(major, minor);
}

int SgTransport::openNode(const ScsiAddress& address) {
  const auto key = std::make_tuple(address.adapter, address.target, address.lun);
  if (auto it = openNodes_.find(key); it != openNodes_.end()) return it->second;
  const auto node = genericNode(address);
  if (!node) return -ENODEV;
  // Read-only: every command of this layer moves data from the device.
  const int fd = scsi_pt_open_device(node->c_str(), true, 0);
  if (fd >= 0) openNodes_[key] = fd;
  return fd;
}

ScsiCompletion SgTransport::execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                                    std::span<uint8_t> sense, int timeoutMs) {
  ScsiCompletion done;
  int fd;
  {
    std::lock_guard guard(mutex_);
    fd = openNode(address);
  }
  if (fd < 0) {
    done.osError = -fd;
    return done;
  }
  sg_pt_base* pt = construct_scsi_pt_obj_with_fd(fd, 0);
  if (pt == nullptr) {
    done.osError = ENOMEM;
    return done;
  }
  set_scsi_pt_cdb(pt, cdb.data(), static_cast<int>(cdb.size()));
  set_scsi_pt_sense(pt, sense.data(), static_cast<int>(sense.size()));
  if (!data.empty()) set_scsi_pt_data_in(pt, data.data(), static_cast<int>(data.size()));
  const int seconds = timeoutMs < 0 ? INT_MAX / 1000 : std::max(1, (timeoutMs + 999) / 1000);
  const int result = do_scsi_pt(pt, -1, seconds, 0);
  if (result < 0) {
    done.osError = -result;
  } else if (result == SCSI_PT_DO_TIMEOUT) {
    done.timedOut = true;
  } else if (result != SCSI_PT_DO_START_OK) {
    done.osError = EINVAL;
  } else {
    done.status = static_cast<uint8_t>(get_scsi_pt_status_response(pt));
    done.hostStatus = static_cast<uint16_t>(get_scsi_pt_transport_err(pt));
    done.driverStatus = static_cast<uint16_t>(pt->impl.io_hdr.driver_status);
    if (get_scsi_pt_sense_len(pt) <= 0 && !sense.empty()) sense[0] = 0;
  }
  destruct_scsi_pt_obj(pt);
  return done;
}

bool ReadCommandOnDevice(int fd, std::span<const uint8_t> cdb, uint8_t* data, unsigned size) {
  std::array<uint8_t, 32> sense{};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = static_cast<unsigned char>(cdb.size());
  io.cmdp = const_cast<uint8_t*>(cdb.data());
  io.mx_sb_len = static_cast<unsigned char>(sense.size());
  io.sbp = sense.data();
  io.dxfer_len = size;
  io.dxferp = data;
  io.timeout = 5000;  // milliseconds
  if (::ioctl(fd, SG_IO, &io) != 0) return false;
  return (io.info & SG_INFO_OK_MASK) == SG_INFO_OK && io.status == 0 && io.host_status == 0 &&
         io.driver_status == 0 && io.resid >= 0 && static_cast<unsigned>(io.resid) < size;
}

}  // namespace brenvik
