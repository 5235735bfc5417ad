#include "tests/disk/SimulatedScsi.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/FileOps.h"
#include "tests/support/TempDir.h"

namespace brenvik::testing {

namespace fs = std::filesystem;

InjectedFault CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t responseCode) {
  InjectedFault fault;
  fault.completion.status = 0x02;
  fault.completion.driverStatus = 0x08;
  fault.sense.assign(18, 0);
  fault.sense[0] = responseCode;
  fault.sense[2] = key;
  fault.sense[7] = 10;
  fault.sense[12] = asc;
  fault.sense[13] = ascq;
  return fault;
}

InjectedFault TargetBusy() {
  InjectedFault fault;
  fault.completion.status = 0x08;
  return fault;
}

InjectedFault TimedOut() {
  InjectedFault fault;
  fault.completion.hostStatus = 0x03;  // DID_TIME_OUT: the kernel aborted the command
  return fault;
}

namespace {

void PutBigEndian32(std::span<uint8_t> data, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    if (at + i < data.size()) data[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void PutText(std::span<uint8_t> data, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width && at + i < data.size(); ++i)
    data[at + i] = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
}

// Hands a scripted answer to the caller: its sense into the sense area, its status back.
ScsiCompletion Answer(const InjectedFault& fault, std::span<uint8_t> sense) {
  std::copy_n(fault.sense.begin(), std::min(fault.sense.size(), sense.size()), sense.begin());
  return fault.completion;
}

}  // namespace

ScsiCompletion SimulatedBus::execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                                     std::span<uint8_t> sense) {
  if (beforeCommand) beforeCommand(cdb);
  commands.emplace_back(cdb.begin(), cdb.end());
  auto it = disks.find(key(address));
  if (it == disks.end()) return ScsiCompletion{.hostStatus = 0x01};
  if (!faults.empty()) {
    InjectedFault fault = faults.front();
    faults.pop_front();
    return Answer(fault, sense);
  }
  const SimulatedDisk& disk = it->second;
  const int64_t fileSize = RegularFileSize(disk.backingFile);
  const uint32_t lastBlock =
      disk.reportedLastBlock != 0 ? disk.reportedLastBlock : static_cast<uint32_t>(fileSize / disk.blockLength - 1);
  switch (cdb.empty() ? 0 : cdb[0]) {
    case 0x12: {
      std::fill(data.begin(), data.end(), 0);
      if (!data.empty()) data[0] = disk.deviceType;
      if (data.size() > 2) data[2] = 5;
      PutText(data, 8, 8, disk.vendor);
      PutText(data, 16, 16, disk.product);
      PutText(data, 32, 4, disk.revision);
      return {};
    }
    case 0x25:
      PutBigEndian32(data, 0, lastBlock);
      PutBigEndian32(data, 4, disk.blockLength);
      return {};
    case 0x28: {
      const uint32_t lba = (uint32_t{cdb[2]} << 24) | (uint32_t{cdb[3]} << 16) | (uint32_t{cdb[4]} << 8) | cdb[5];
      const uint32_t count = (uint32_t{cdb[7]} << 8) | cdb[8];
      if (uint64_t{lba} + count > uint64_t{lastBlock} + 1) return Answer(CheckCondition(5, 0x21, 0), sense);
      if (auto bad = disk.badBlocks.lower_bound(lba); bad != disk.badBlocks.end() && uint64_t{*bad} < uint64_t{lba} + count)
        return Answer(CheckCondition(3, 0x11, 0), sense);
      UniqueFd fd = OpenShared(disk.backingFile);
      const size_t length = std::min<size_t>(data.size(), size_t{count} * disk.blockLength);
      if (ReadAt(fd.get(), data.data(), length, int64_t{lba} * disk.blockLength) != static_cast<int64_t>(length))
        return Answer(CheckCondition(3, 0x11, 0), sense);
      return {};
    }
    default:
      return Answer(CheckCondition(5, 0x20, 0), sense);
  }
}

int SimulatedTransport::adapterCount() { return bus_.adapters.empty() ? 0 : bus_.adapters.rbegin()->first + 1; }

std::optional<HostAdapterInfo> SimulatedTransport::inquireAdapter(int adapter) {
  auto it = bus_.adapters.find(adapter);
  if (it == bus_.adapters.end()) return std::nullopt;
  HostAdapterInfo info;
  info.adapter = adapter;
  info.ownId = it->second;
  info.maxTargets = 0;
  return info;
}

bool SimulatedTransport::hasDevice(const ScsiAddress& address) {
  bus_.probed.push_back(address);
  return bus_.disks.count(SimulatedBus::key(address)) != 0;
}

ScsiCompletion SimulatedTransport::execute(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                           std::span<uint8_t> data, std::span<uint8_t> sense, int) {
  return bus_.execute(address, cdb, data, sense);
}

ScsiCompletion SysfsSimulatedTransport::execute(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                                std::span<uint8_t> data, std::span<uint8_t> sense, int) {
  if (!genericNode(address)) return ScsiCompletion{.osError = ENODEV};
  return bus_.execute(address, cdb, data, sense);
}

void AddFakeSysfsHost(const fs::path& sysfsRoot, int host, int ownId) {
  WriteFile(sysfsRoot / "class/scsi_host" / ("host" + std::to_string(host)) / "this_id", std::to_string(ownId) + "\n");
  WriteFile(sysfsRoot / "class/scsi_host" / ("host" + std::to_string(host)) / "proc_name", "sim\n");
}

void AddFakeSysfsDisk(const fs::path& sysfsRoot, int host, int channel, int target, int lun, const std::string& sgName,
                      const std::string& blockName, const std::string& dev) {
  const fs::path folder = sysfsRoot / "class/scsi_device" /
                          (std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
                           std::to_string(lun)) / "device";
  fs::create_directories(folder / "scsi_generic" / sgName);
  if (!blockName.empty()) WriteFile(folder / "block" / blockName / "dev", dev + "\n");
}

}  // namespace brenvik::testing
