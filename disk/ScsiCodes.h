#pragma once
// The numeric result codes of the SCSI layer and the parsers of what a device answers: the
// host-interface result code of one request, the SCSI result code a command derives from its
// sense data, and the INQUIRY and READ CAPACITY(10) data. Every parser takes hostile bytes.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace brenvik {

// Host-interface result codes of one request (what a finished SRB turns into).
namespace aspi {
inline constexpr int kSuccess = 0;
inline constexpr int kCheckCondition = 1;  // sense data valid
inline constexpr int kAborted = 2;
inline constexpr int kInvalidCommand = 3;
inline constexpr int kInvalidAdapter = 4;
inline constexpr int kNoDevice = 5;
inline constexpr int kInvalidRequest = 6;
inline constexpr int kFailedInit = 7;
inline constexpr int kInterfaceBusy = 8;
inline constexpr int kBufferTooBig = 9;
inline constexpr int kSelectionTimeout = 10;
inline constexpr int kDataOverrun = 11;
inline constexpr int kUnexpectedBusFree = 12;
inline constexpr int kPhaseSequence = 13;
inline constexpr int kTimeout = 14;
inline constexpr int kCommandTimeout = 15;
inline constexpr int kMessageReject = 16;
inline constexpr int kBusReset = 17;
inline constexpr int kParityError = 18;
inline constexpr int kRequestSenseFailed = 19;
inline constexpr int kTargetBusy = 20;
inline constexpr int kReservationConflict = 21;
inline constexpr int kQueueFull = 22;
inline constexpr int kNoRecord = 23;
inline constexpr int kOther = 25;
inline constexpr int kNoEvent = 26;
}  // namespace aspi

// SCSI result codes of a command: sense key k gives k << 16.
inline constexpr int kScsiNoSense = 0;
inline constexpr int kScsiFilemark = 0x100000;
inline constexpr int kScsiEndOfMedium = 0x110000;
inline constexpr int kScsiIncorrectLength = 0x120000;
inline constexpr int kScsiDriverError = 0x140000;
inline constexpr int kScsiUnknown = 0x150000;

// Sense data as the layer keeps it: 128 bytes asked for, in a 130-byte area.
inline constexpr int kSenseLength = 128;
using SenseArea = std::array<uint8_t, 130>;

// What the kernel reported for one pass-through command.
struct ScsiCompletion {
  bool timedOut = false;     // the command's time-out expired (it was aborted)
  int osError = 0;           // errno of a failed submission, 0 when it was submitted
  uint8_t status = 0;        // SCSI status byte
  uint16_t hostStatus = 0;   // SG_IO host_status (DID_*)
  uint16_t driverStatus = 0; // SG_IO driver_status (DRIVER_* and suggestions)
};

// The host-interface result code of a finished command; `firstSenseByte` is byte 0 of the
// sense area (0 when no sense came back).
int AspiResultCode(const ScsiCompletion& completion, uint8_t firstSenseByte);

// Fixed-format sense fields (response code 0x70 or 0x71), bounded by the bytes given.
struct SenseFields {
  uint8_t responseCode = 0;  // byte 0 bits 0-6
  uint8_t key = 0;           // byte 2 bits 0-3
  bool filemark = false;     // byte 2 bit 7
  bool endOfMedium = false;  // byte 2 bit 6
  bool incorrectLength = false;  // byte 2 bit 5
  uint8_t byte3 = 0;
  uint8_t asc = 0;   // byte 12
  uint8_t ascq = 0;  // byte 13
};
SenseFields ParseSense(std::span<const uint8_t> sense);

// The SCSI result code of a command from its host-interface code and, for code 1, its sense.
int ScsiResultFromSense(int aspiCode, std::span<const uint8_t> sense);
// "No Sense", "Recovered Error", ... "Unknown" for code k << 16; "Unknown" beyond the list.
const char* ScsiResultName(int code);

// The fields of a device record that come from the 36 bytes of standard INQUIRY data.
struct InquiryFields {
  int deviceType = 31;  // byte 0 bits 0-4
  int version = 0;      // byte 2 bits 0-2
  int removable = 0;    // byte 1 bit 7
  int wbus32 = 0, wbus16 = 0, sync = 0, linked = 0, cmdQue = 0, sftRe = 0;  // byte 7 bits 6,5,4,3,1,0
  std::string vendorProduct;  // vendor (8-15) trimmed, one blank, product (16-31) trimmed
  std::string revision;       // bytes 32-35 trimmed
};
// Missing bytes (a short answer) count as blanks and zeros.
InquiryFields ParseInquiry(std::span<const uint8_t> data);

// READ CAPACITY(10) data: last block address and block length, both big-endian.
struct Capacity {
  uint32_t lastBlock = 0;
  uint32_t blockLength = 0;
  // Block count in 32 bits, as the device list keeps it: 0xFFFFFFFF wraps to 0.
  uint32_t blockCount() const { return lastBlock + 1u; }
};
Capacity ParseReadCapacity(std::span<const uint8_t> data);

}  // namespace brenvik
