#include "disk/ScsiCodes.h"

#include <cerrno>

namespace brenvik {

namespace {

// Linux SG_IO host_status values (DID_*).
enum : uint16_t {
  kDidOk = 0x00, kDidNoConnect = 0x01, kDidBusBusy = 0x02, kDidTimeOut = 0x03, kDidBadTarget = 0x04,
  kDidAbort = 0x05, kDidParity = 0x06, kDidError = 0x07, kDidReset = 0x08, kDidSoftError = 0x0B,
  kDidImmRetry = 0x0C, kDidRequeue = 0x0D, kDidTransportDisrupted = 0x0E, kDidTransportFailfast = 0x0F,
  kDidNexusFailure = 0x11, kDidAllocFailure = 0x12,
};
// Linux SG_IO driver_status values (low nibble; the high nibble holds suggestions).
enum : uint16_t {
  kDriverOk = 0x00, kDriverBusy = 0x01, kDriverSoft = 0x02, kDriverInvalid = 0x05, kDriverTimeout = 0x06,
  kDriverSense = 0x08,
};

int FromOsError(int error) {
  switch (error) {
    case ENODEV: case ENXIO: case ENOENT: return aspi::kNoDevice;
    case EBUSY: case EAGAIN: case EINTR: return aspi::kInterfaceBusy;
    case ENOMEM: case EOVERFLOW: return aspi::kBufferTooBig;
    case EINVAL: case EFAULT: return aspi::kInvalidRequest;
    case EPERM: case EACCES: case ENOTTY: return aspi::kInvalidCommand;
    default: return aspi::kOther;
  }
}

int FromHostStatus(uint16_t host) {
  switch (host) {
    case kDidNoConnect: case kDidBadTarget: case kDidTransportFailfast: return aspi::kSelectionTimeout;
    case kDidBusBusy: return aspi::kUnexpectedBusFree;
    case kDidTimeOut: return aspi::kTimeout;
    case kDidAbort: return aspi::kAborted;
    case kDidParity: return aspi::kParityError;
    case kDidReset: case kDidTransportDisrupted: return aspi::kBusReset;
    case kDidSoftError: case kDidImmRetry: case kDidRequeue: return aspi::kInterfaceBusy;
    case kDidNexusFailure: return aspi::kReservationConflict;
    case kDidAllocFailure: return aspi::kBufferTooBig;
    default: return aspi::kOther;
  }
}

std::string TrimmedField(std::span<const uint8_t> data, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i) text.push_back(i < data.size() ? static_cast<char>(data[i]) : ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

uint32_t BigEndian32(std::span<const uint8_t> data, size_t at) {
  uint32_t value = 0;
  for (size_t i = at; i < at + 4; ++i) value = (value << 8) | (i < data.size() ? data[i] : 0u);
  return value;
}

}  // namespace

int AspiResultCode(const ScsiCompletion& c, uint8_t firstSenseByte) {
  if (c.timedOut) return aspi::kTimeout;
  if (c.osError != 0) return FromOsError(c.osError);
  if (c.hostStatus != kDidOk) return FromHostStatus(c.hostStatus);
  const uint16_t driver = c.driverStatus & 0x0F;
  if (driver == kDriverTimeout) return aspi::kTimeout;
  if (driver == kDriverBusy || driver == kDriverSoft) return aspi::kInterfaceBusy;
  if (driver == kDriverInvalid) return aspi::kInvalidCommand;
  switch (c.status & 0xFE) {
    case 0x00:
      if (firstSenseByte != 0) return aspi::kCheckCondition;
      // A driver error with good status and no sense must not pass for success.
      return (driver == kDriverOk || driver == kDriverSense) ? aspi::kSuccess : aspi::kOther;
    case 0x02: return aspi::kCheckCondition;
    case 0x08: return aspi::kTargetBusy;
    case 0x18: return aspi::kReservationConflict;
    case 0x28: return aspi::kQueueFull;
    default: return aspi::kOther;
  }
}

SenseFields ParseSense(std::span<const uint8_t> sense) {
  SenseFields f;
  auto at = [&](size_t i) -> uint8_t { return i < sense.size() ? sense[i] : 0; };
  f.responseCode = at(0) & 0x7F;
  f.key = at(2) & 0x0F;
  f.filemark = (at(2) & 0x80) != 0;
  f.endOfMedium = (at(2) & 0x40) != 0;
  f.incorrectLength = (at(2) & 0x20) != 0;
  f.byte3 = at(3);
  f.asc = at(12);
  f.ascq = at(13);
  return f;
}

int ScsiResultFromSense(int aspiCode, std::span<const uint8_t> sense) {
  if (aspiCode == aspi::kSuccess) return kScsiNoSense;
  if (aspiCode == aspi::kCheckCondition) {
    const SenseFields f = ParseSense(sense);
    if (f.responseCode != 0x70 && f.responseCode != 0x71) return kScsiDriverError;
    if (f.key == 0) {
      if (f.filemark) return kScsiFilemark;
      if (f.endOfMedium) return kScsiEndOfMedium;
      if (f.incorrectLength && (f.byte3 & 0x80) != 0) return kScsiIncorrectLength;
      return kScsiNoSense;
    }
    if (f.key == 1) return kScsiNoSense;
    return static_cast<int>(f.key) << 16;
  }
  if (aspiCode >= 2 && aspiCode <= 25) return kScsiDriverError;
  return kScsiUnknown;
}

const char* ScsiResultName(int code) {
  static const char* const kNames[] = {
      "No Sense",      "Recovered Error", "Not Ready",       "Medium Error",         "Hardware Error",
      "Illegal Request", "Unit Attention", "Data Protect",   "Blank Check",          "Vendor Specific",
      "Copy Aborted",  "Aborted Command", "Equal",           "Volume Overflow",      "Miscompare",
      "Reserved",      "Filemark Encountered", "End of Medium", "Incorrect Length", "System Error",
      "Driver Error",  "Unknown"};
  const int index = code >> 16;
  if (code < 0 || (code & 0xFFFF) != 0 || index >= static_cast<int>(std::size(kNames))) return "Unknown";
  return kNames[index];
}

InquiryFields ParseInquiry(std::span<const uint8_t> data) {
  auto at = [&](size_t i) -> uint8_t { return i < data.size() ? data[i] : 0; };
  InquiryFields f;
  f.deviceType = at(0) & 0x1F;
  f.removable = (at(1) >> 7) & 1;
  f.version = at(2) & 0x07;
  f.wbus32 = (at(7) >> 6) & 1;
  f.wbus16 = (at(7) >> 5) & 1;
  f.sync = (at(7) >> 4) & 1;
  f.linked = (at(7) >> 3) & 1;
  f.cmdQue = (at(7) >> 1) & 1;
  f.sftRe = at(7) & 1;
  f.vendorProduct = TrimmedField(data, 8, 16) + " " + TrimmedField(data, 16, 32);
  f.revision = TrimmedField(data, 32, 36);
  return f;
}

Capacity ParseReadCapacity(std::span<const uint8_t> data) {
  return Capacity{BigEndian32(data, 0), BigEndian32(data, 4)};
}

}  // namespace brenvik
