#include "disk/ScsiLayer.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace brenvik {

namespace {

class SteadyClock : public ScsiClock {
 public:
  int64_t seconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void pause(int milliseconds) override { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
};

constexpr int kMaxAdapters = 255;
constexpr int kMaxTargetId = 254;
constexpr int kStatusComplete = 1;

}  // namespace

ScsiClock& SystemScsiClock() {
  static SteadyClock clock;
  return clock;
}

// ---- request layer ----

ScsiHostInterface::ScsiHostInterface(std::shared_ptr<ScsiTransport> transport, ScsiClock& clock)
    : transport_(std::move(transport)), clock_(clock) {}

uint32_t ScsiHostInterface::load() {
  if (std::getenv("DEBUGASPI") != nullptr && trace_ == nullptr) trace_ = &std::cerr;
  const int count = transport_ ? transport_->adapterCount() : -1;
  if (count < 0) return 0xE400;
  return (kStatusComplete << 8) | static_cast<uint32_t>(std::min(count, kMaxAdapters));
}

void ScsiHostInterface::traceRequest(const Srb& srb) {
  if (trace_ == nullptr) return;
  char text[64];
  std::string line;
  std::snprintf(text, sizeof text, "  SRB CMD=%d,HA=%d,FL=%02X", static_cast<int>(srb.command), srb.address.adapter,
                srb.flags);
  line += text;
  if (srb.command == SrbCommand::ExecuteCommand) {
    if (srb.cdbLength == 0) line += ",NO CDB!";
    for (int i = 0; i < srb.cdbLength; ++i) {
      std::snprintf(text, sizeof text, i == 0 ? ",cdb=%02X" : " %02X", srb.cdb[static_cast<size_t>(i)]);
      line += text;
    }
    std::snprintf(text, sizeof text, ",BUFLEN=%zu,SENSELEN=%d", srb.buffer.size(), srb.senseLength);
    line += text;
  }
  line += '\n';
  std::lock_guard guard(traceMutex_);
  *trace_ << line << std::flush;
}

int ScsiHostInterface::run(Srb& srb, int timeoutMs) {
  srb.flags |= kSrbEventNotify;
  srb.senseLength = kSenseLength;
  traceRequest(srb);
  if (!transport_) return aspi::kFailedInit;
  switch (srb.command) {
    case SrbCommand::AdapterInquiry: {
      auto info = transport_->inquireAdapter(srb.address.adapter);
      if (!info) return aspi::kInvalidAdapter;
      srb.adapterInfo = *info;
      return aspi::kSuccess;
    }
    case SrbCommand::GetDeviceType:
      return transport_->hasDevice(srb.address) ? aspi::kSuccess : aspi::kNoDevice;
    case SrbCommand::ExecuteCommand: {
      srb.sense.fill(0);
      const ScsiCompletion done =
          transport_->execute(srb.address, std::span(srb.cdb.data(), static_cast<size_t>(srb.cdbLength)), srb.buffer,
                              std::span(srb.sense.data(), static_cast<size_t>(srb.senseLength)), timeoutMs);
      return AspiResultCode(done, srb.sense[0]);
    }
    case SrbCommand::Abort:
      return aspi::kSuccess;  // commands time out inside the kernel, which aborts them itself
  }
  return aspi::kInvalidCommand;
}

// ---- retry policy ----

void ScsiDevice::applyInquiry(const InquiryFields& f) {
  deviceType = f.deviceType;
  version = f.version;
  removable = f.removable;
  wbus32 = f.wbus32;
  wbus16 = f.wbus16;
  sync = f.sync;
  linked = f.linked;
  cmdQue = f.cmdQue;
  sftRe = f.sftRe;
  vendorProduct = f.vendorProduct.substr(0, 25);
  revision = f.revision.substr(0, 4);
}

int ExecuteWithRetry(ScsiHostInterface& host, const ScsiDevice& device, Srb& srb, int timeoutMs) {
  bool failedBefore = false;
  int64_t firstFailure = 0;
  for (;;) {
    const int code = host.run(srb, timeoutMs);
    int limitMs = 0;
    int pauseMs = 0;
    if (code == aspi::kSuccess) return code;
    if (code == aspi::kCheckCondition) {
      const SenseFields sense = ParseSense(srb.sense);
      if (sense.responseCode != 0x70) return code;
      if (sense.key == 1) return aspi::kSuccess;  // recovered error: the data is good
      if (sense.key == 2) {
        const bool becomingReady = sense.asc == 0x04 && sense.ascq == 0x01;
        limitMs = becomingReady ? device.limits.becomingReady : device.limits.notReady;
        pauseMs = 1000;
      } else if (sense.key == 6) {
        limitMs = device.limits.unitAttention;
      } else {
        return code;
      }
    } else if (code == aspi::kInterfaceBusy) {
      limitMs = device.limits.interfaceBusy;
    } else if (code == aspi::kSelectionTimeout || code == aspi::kUnexpectedBusFree || code == aspi::kPhaseSequence ||
               code == aspi::kBusReset || code == aspi::kParityError) {
      limitMs = device.limits.busErrors;
    } else if (code == aspi::kTargetBusy || code == aspi::kQueueFull) {
      limitMs = device.limits.targetBusy;
      pauseMs = 1000;
    } else {
      return code;
    }
    if (limitMs == 0) return code;
    const int64_t now = host.clock().seconds();
    if (!failedBefore) {
      failedBefore = true;
      firstFailure = now;
    }
    if (now - firstFailure > limitMs / 1000 + 1) return code;
    if (pauseMs > 0) host.clock().pause(pauseMs);
  }
}

// ---- device manager ----

ScsiDeviceManager::ScsiDeviceManager(std::shared_ptr<ScsiHostInterface> host) : host_(std::move(host)) {
  supportInfo_ = host_->load();
  if (((supportInfo_ >> 8) & 0xFF) != kStatusComplete) return;
  const int count = static_cast<int>(supportInfo_ & 0xFF);
  for (int adapter = 0; adapter < count; ++adapter) {
    Srb inquiry;
    inquiry.command = SrbCommand::AdapterInquiry;
    inquiry.flags = kSrbDirectionIn;
    inquiry.address.adapter = adapter;
    if (host_->run(inquiry, kAdapterInquiryTimeoutMs) != aspi::kSuccess) continue;
    HostAdapterInfo info = inquiry.adapterInfo;
    info.adapter = adapter;
    if (info.maxTargets == 0) info.maxTargets = 255;
    adapters_.push_back(info);
    // Every target id is probed whatever maximum the adapter reports; only its own id is not.
    for (int target = 0; target <= kMaxTargetId; ++target)
      if (target != info.ownId) probe(ScsiAddress{adapter, target, 0});
  }
}

void ScsiDeviceManager::probe(const ScsiAddress& address) {
  for (const auto& device : devices_)
    if (device->address == address) return;
  Srb type;
  type.command = SrbCommand::GetDeviceType;
  type.address = address;
  if (host_->run(type, kProbeTimeoutMs) != aspi::kSuccess) return;

  auto device = std::make_unique<ScsiDevice>();
  device->address = address;
  std::array<uint8_t, 36> data{};
  Srb inquiry;
  inquiry.command = SrbCommand::ExecuteCommand;
  inquiry.flags = kSrbDirectionIn;
  inquiry.address = address;
  inquiry.cdb = {0x12, static_cast<uint8_t>((address.lun & 7) << 5), 0, 0, 36, 0};
  inquiry.cdbLength = 6;
  inquiry.buffer = data;
  if (ExecuteWithRetry(*host_, *device, inquiry, kProbeInquiryTimeoutMs) != aspi::kSuccess) return;
  device->applyInquiry(ParseInquiry(data));
  device->displayName = device->vendorProduct;
  device->blockDevice = host_->transport().blockDeviceOf(address);
  devices_.push_back(std::move(device));
}

// ---- target ----

ScsiTarget::ScsiTarget(ScsiHostInterface& host) : host_(host) {}

int ScsiTarget::bind(ScsiDevice* device) {
  if (device == nullptr) return lastResult_ = kScsiDriverError;
  if (bound_) return lastResult_;
  device_ = device;
  address_ = device->address;
  bound_ = true;
  return lastResult_ = inquiry();
}

void ScsiTarget::unbind() {
  std::lock_guard guard(lock_);
  bound_ = false;
  device_ = nullptr;
}

int ScsiTarget::inquiry() {
  // The allocation length is 255, so the buffer must hold 255 bytes: a device answering in full
  // must not write past the 36 bytes that are kept.
  std::array<uint8_t, 255> data{};
  const uint8_t cdb[6] = {0x12, static_cast<uint8_t>((address_.lun & 7) << 5), 0, 0, 255, 0};
  const int result = run(cdb, data, shortTimeoutMs);
  std::copy_n(data.begin(), inquiry_.size(), inquiry_.begin());
  return result;
}

int ScsiTarget::readCapacity(uint32_t& lastBlock, uint32_t& blockLength) {
  std::array<uint8_t, 8> data{};
  const uint8_t cdb[10] = {0x25, static_cast<uint8_t>((address_.lun & 7) << 5), 0, 0, 0, 0, 0, 0, 0, 0};
  const int result = run(cdb, data, shortTimeoutMs);
  const Capacity capacity = ParseReadCapacity(data);
  lastBlock = capacity.lastBlock;
  blockLength = capacity.blockLength;
  return result;
}

int ScsiTarget::read10(uint32_t firstBlock, uint16_t count, uint32_t blockSize, std::span<uint8_t> buffer) {
  const uint64_t length = uint64_t{count} * blockSize;
  if (length > buffer.size()) return lastResult_ = kScsiDriverError;
  const uint8_t cdb[10] = {0x28,
                           static_cast<uint8_t>((address_.lun & 7) << 5),
                           static_cast<uint8_t>(firstBlock >> 24),
                           static_cast<uint8_t>(firstBlock >> 16),
                           static_cast<uint8_t>(firstBlock >> 8),
                           static_cast<uint8_t>(firstBlock),
                           0,
                           static_cast<uint8_t>(count >> 8),
                           static_cast<uint8_t>(count),
                           0};
  return run(cdb, buffer.first(static_cast<size_t>(length)), longTimeoutMs);
}

int ScsiTarget::run(std::span<const uint8_t> cdb, std::span<uint8_t> buffer, int timeoutMs) {
  std::lock_guard guard(lock_);
  if (!bound_ || device_ == nullptr) return lastResult_ = kScsiDriverError;
  srb_ = Srb{};
  srb_.command = SrbCommand::ExecuteCommand;
  srb_.flags = kSrbDirectionIn;
  srb_.address = address_;
  srb_.cdbLength = static_cast<int>(std::min<size_t>(cdb.size(), srb_.cdb.size()));
  std::copy_n(cdb.begin(), srb_.cdbLength, srb_.cdb.begin());
  srb_.buffer = buffer;
  status_ = ExecuteWithRetry(host_, *device_, srb_, timeoutMs);
  if (status_ == aspi::kCheckCondition) std::copy_n(srb_.sense.begin(), sense_.size(), sense_.begin());
  lastResult_ = ScsiResultFromSense(status_, std::span(srb_.sense.data(), kSenseLength));
  return lastResult_;
}

}  // namespace brenvik
