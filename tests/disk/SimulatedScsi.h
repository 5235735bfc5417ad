#pragma once
// A simulated SCSI bus for tests: disks of any block length backed by files, answering INQUIRY,
// READ CAPACITY(10) and READ(10), with scripted faults (check conditions, busy, time-outs)
// injected ahead of the real answers, and a clock whose pauses only advance a counter.
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/ScsiLayer.h"
#include "disk/SgTransport.h"

namespace brenvik::testing {

struct SimulatedDisk {
  std::filesystem::path backingFile;  // the blocks, back to back
  uint32_t blockLength = 520;
  std::string vendor = "SEAGATE";
  std::string product = "ST3300657SS";
  std::string revision = "0008";
  uint8_t deviceType = 0;
  uint32_t reportedLastBlock = 0;  // READ CAPACITY answer; 0 means "from the file size"
  std::set<uint32_t> badBlocks;    // a READ(10) that covers any of them fails with a medium error
};

// One scripted answer that replaces the disk's real answer to the next command.
struct InjectedFault {
  ScsiCompletion completion;
  std::vector<uint8_t> sense;  // copied into the sense area
};
InjectedFault CheckCondition(uint8_t key, uint8_t asc = 0, uint8_t ascq = 0, uint8_t responseCode = 0x70);
InjectedFault TargetBusy();
InjectedFault TimedOut();

// The disks and adapters of a simulated machine; commands go to the disks, faults come first.
class SimulatedBus {
 public:
  void addAdapter(int adapter, int ownId) { adapters[adapter] = ownId; }
  void addDisk(const ScsiAddress& address, SimulatedDisk disk) { disks[key(address)] = std::move(disk); }

  ScsiCompletion execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                         std::span<uint8_t> sense);

  std::map<int, int> adapters;  // adapter -> own id
  std::map<std::tuple<int, int, int>, SimulatedDisk> disks;
  std::deque<InjectedFault> faults;
  std::vector<std::vector<uint8_t>> commands;  // every CDB received, in order
  std::vector<ScsiAddress> probed;             // every address asked whether a device is there
  std::function<void(std::span<const uint8_t> cdb)> beforeCommand;  // runs first, on the caller's thread

  static std::tuple<int, int, int> key(const ScsiAddress& a) { return {a.adapter, a.target, a.lun}; }
};

// Transport over a SimulatedBus alone.
class SimulatedTransport : public ScsiTransport {
 public:
  explicit SimulatedTransport(SimulatedBus& bus) : bus_(bus) {}
  int adapterCount() override;
  std::optional<HostAdapterInfo> inquireAdapter(int adapter) override;
  bool hasDevice(const ScsiAddress& address) override;
  ScsiCompletion execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                         std::span<uint8_t> sense, int timeoutMs) override;

 private:
  SimulatedBus& bus_;
};

// The real sysfs enumeration over a fake tree, with commands answered by a SimulatedBus.
class SysfsSimulatedTransport : public SgTransport {
 public:
  SysfsSimulatedTransport(SimulatedBus& bus, std::filesystem::path sysfsRoot, std::filesystem::path devRoot)
      : SgTransport(std::move(sysfsRoot), std::move(devRoot)), bus_(bus) {}
  ScsiCompletion execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                         std::span<uint8_t> sense, int timeoutMs) override;

 private:
  SimulatedBus& bus_;
};

// Writes the sysfs entries of one SCSI disk ("H:C:T:L", its sg node and its block node).
void AddFakeSysfsDisk(const std::filesystem::path& sysfsRoot, int host, int channel, int target, int lun,
                      const std::string& sgName, const std::string& blockName = {}, const std::string& dev = {});
void AddFakeSysfsHost(const std::filesystem::path& sysfsRoot, int host, int ownId);

class FakeScsiClock : public ScsiClock {
 public:
  int64_t seconds() override { return nowMs / 1000; }
  void pause(int milliseconds) override {
    nowMs += milliseconds;
    pauses.push_back(milliseconds);
  }
  int64_t nowMs = 0;
  std::vector<int> pauses;
};

}  // namespace brenvik::testing
