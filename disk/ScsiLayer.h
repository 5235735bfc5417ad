#pragma once
// SCSI access to disks whose sectors the ordinary disk paths cannot read (520-byte sectors and
// the like), in three layers: the request layer (one request at a time, its result code and the
// optional "DEBUGASPI" trace), the device manager that finds every device, and ScsiTarget, which
// runs INQUIRY, READ CAPACITY(10) and READ(10) on one bound device. Failures are result codes
// (ScsiCodes.h); nothing here throws or writes to a device.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "disk/ScsiCodes.h"
#include "disk/ScsiTransport.h"

namespace brenvik {

// Request kinds and flags, numbered as the host interface numbers them (they appear in the trace).
enum class SrbCommand : uint8_t { AdapterInquiry = 0, GetDeviceType = 1, ExecuteCommand = 2, Abort = 3 };
inline constexpr uint8_t kSrbDirectionIn = 0x08;
inline constexpr uint8_t kSrbEventNotify = 0x40;

// One request (SCSI Request Block).
struct Srb {
  SrbCommand command = SrbCommand::ExecuteCommand;
  uint8_t flags = 0;
  ScsiAddress address;
  std::array<uint8_t, 16> cdb{};
  int cdbLength = 0;
  std::span<uint8_t> buffer;
  SenseArea sense{};
  int senseLength = kSenseLength;
  HostAdapterInfo adapterInfo;  // answer of an adapter inquiry
};

// Time-outs in milliseconds.
inline constexpr int kShortTimeoutMs = 1000;
inline constexpr int kLongTimeoutMs = 120000;
inline constexpr int kVeryLongTimeoutMs = 7200000;
inline constexpr int kAdapterInquiryTimeoutMs = 3000;
inline constexpr int kProbeTimeoutMs = 1000;
inline constexpr int kProbeInquiryTimeoutMs = 3000;

// The request layer over a transport.
class ScsiHostInterface {
 public:
  explicit ScsiHostInterface(std::shared_ptr<ScsiTransport> transport, ScsiClock& clock = SystemScsiClock());

  // Loads the interface: the adapter count in bits 0-7 and status 1 in bits 8-15, or 0xE400 when
  // no pass-through is available. Turns the trace on (to standard error) when DEBUGASPI is set.
  uint32_t load();
  // Sends one request (tracing it when the trace is on) and returns its result code.
  int run(Srb& srb, int timeoutMs);

  // Where trace lines go; nullptr turns the trace off.
  void setTrace(std::ostream* trace) { trace_ = trace; }
  ScsiClock& clock() { return clock_; }
  ScsiTransport& transport() { return *transport_; }

 private:
  void traceRequest(const Srb& srb);

  std::shared_ptr<ScsiTransport> transport_;
  ScsiClock& clock_;
  std::ostream* trace_ = nullptr;
  std::mutex traceMutex_;
};

// How long (milliseconds) a device may keep failing in each way before the layer gives up.
struct RetryLimits {
  int interfaceBusy = 3000;
  int busErrors = 2000;
  int unitAttention = 1000;
  int targetBusy = 30000;  // also queue full
  int notReady = 0;
  int becomingReady = 30000;
};

// One device found by the manager.
struct ScsiDevice {
  ScsiAddress address;
  int deviceType = 31;         // INQUIRY peripheral device type; 31 when INQUIRY failed
  uint32_t blockLength = 0;    // set by its user from READ CAPACITY(10)
  int64_t blockCount = 0;      // set by its user: last block address + 1
  std::string vendorProduct;   // "VENDOR PRODUCT"
  std::string displayName;
  std::string revision;
  std::u16string serial;       // set by its user from the disk inventory
  int version = 0, removable = 0;
  int wbus32 = 0, wbus16 = 0, sync = 0, linked = 0, cmdQue = 0, sftRe = 0;
  RetryLimits limits;
  uint64_t blockDevice = 0;    // the kernel's block device for this disk, 0 when unknown

  void applyInquiry(const InquiryFields& inquiry);
};

// Runs `srb` until it succeeds or the device's retry policy gives up; returns the result code.
int ExecuteWithRetry(ScsiHostInterface& host, const ScsiDevice& device, Srb& srb, int timeoutMs);

// Finds every device: each adapter's targets 0 to 254 except its own id, LUN 0.
class ScsiDeviceManager {
 public:
  explicit ScsiDeviceManager(std::shared_ptr<ScsiHostInterface> host);

  uint32_t supportInfo() const { return supportInfo_; }
  const std::vector<HostAdapterInfo>& adapters() const { return adapters_; }
  const std::vector<std::unique_ptr<ScsiDevice>>& devices() const { return devices_; }
  ScsiHostInterface& host() { return *host_; }

 private:
  void probe(const ScsiAddress& address);

  std::shared_ptr<ScsiHostInterface> host_;
  uint32_t supportInfo_ = 0;
  std::vector<HostAdapterInfo> adapters_;
  std::vector<std::unique_ptr<ScsiDevice>> devices_;
};

// Runs commands on one bound device, one at a time (several threads may share it).
class ScsiTarget {
 public:
  explicit ScsiTarget(ScsiHostInterface& host);

  // Binds a device and asks its INQUIRY; returns the SCSI result code (0x140000 for none).
  int bind(ScsiDevice* device);
  void unbind();
  bool bound() const { return bound_; }

  int inquiry();
  int readCapacity(uint32_t& lastBlock, uint32_t& blockLength);
  // READ(10) of `count` blocks from `firstBlock` into `buffer`, which must hold count x blockSize.
  int read10(uint32_t firstBlock, uint16_t count, uint32_t blockSize, std::span<uint8_t> buffer);

  int lastResult() const { return lastResult_; }
  int status() const { return status_; }
  const std::array<uint8_t, kSenseLength>& sense() const { return sense_; }
  const std::array<uint8_t, 36>& inquiryData() const { return inquiry_; }

  const int shortTimeoutMs = kShortTimeoutMs;
  const int longTimeoutMs = kLongTimeoutMs;
  const int veryLongTimeoutMs = kVeryLongTimeoutMs;

 private:
  int run(std::span<const uint8_t> cdb, std::span<uint8_t> buffer, int timeoutMs);

  ScsiHostInterface& host_;
  std::mutex lock_;
  ScsiDevice* device_ = nullptr;
  bool bound_ = false;
  int lastResult_ = 0;
  int status_ = 0;
  ScsiAddress address_;
  Srb srb_;
  std::array<uint8_t, kSenseLength> sense_{};
  std::array<uint8_t, 36> inquiry_{};
};

}  // namespace brenvik
