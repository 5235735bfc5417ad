#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <sstream>

#include "disk/ScsiLayer.h"
#include "disk/SgTransport.h"
#include "tests/disk/SimulatedScsi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

// A machine with one adapter (own id 7) and one 520-byte-sector disk at target 2.
struct SimulatedMachine {
  TempDir dir;
  SimulatedBus bus;
  FakeScsiClock clock;
  std::shared_ptr<ScsiHostInterface> host;

  explicit SimulatedMachine(uint32_t blocks = 300) {
    std::string bytes(size_t{blocks} * 520, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / 520);
    WriteFile(dir / "disk.bin", bytes);
    bus.addAdapter(0, 7);
    bus.addDisk({0, 2, 0}, SimulatedDisk{.backingFile = dir / "disk.bin"});
    host = std::make_shared<ScsiHostInterface>(std::make_shared<SimulatedTransport>(bus), clock);
  }
};

}  // namespace

TEST(ScsiResultCodes, KernelStatusMapsOntoTheHostInterfaceCodes) {
  EXPECT_EQ(AspiResultCode({}, 0), aspi::kSuccess);
  EXPECT_EQ(AspiResultCode({}, 0x70), aspi::kCheckCondition);  // good status but sense came back
  EXPECT_EQ(AspiResultCode({.status = 0x02}, 0x70), aspi::kCheckCondition);
  EXPECT_EQ(AspiResultCode({.status = 0x08}, 0), aspi::kTargetBusy);
  EXPECT_EQ(AspiResultCode({.status = 0x18}, 0), aspi::kReservationConflict);
  EXPECT_EQ(AspiResultCode({.status = 0x28}, 0), aspi::kQueueFull);
  EXPECT_EQ(AspiResultCode({.status = 0x40}, 0), aspi::kOther);
  EXPECT_EQ(AspiResultCode({.timedOut = true}, 0), aspi::kTimeout);
  EXPECT_EQ(AspiResultCode({.hostStatus = 0x03}, 0), aspi::kTimeout);
  EXPECT_EQ(AspiResultCode({.hostStatus = 0x01}, 0), aspi::kSelectionTimeout);
  EXPECT_EQ(AspiResultCode({.hostStatus = 0x08}, 0), aspi::kBusReset);
  EXPECT_EQ(AspiResultCode({.hostStatus = 0x06}, 0), aspi::kParityError);
  EXPECT_EQ(AspiResultCode({.hostStatus = 0x05}, 0), aspi::kAborted);
  EXPECT_EQ(AspiResultCode({.driverStatus = 0x06}, 0), aspi::kTimeout);
  EXPECT_EQ(AspiResultCode({.driverStatus = 0x01}, 0), aspi::kInterfaceBusy);
  EXPECT_EQ(AspiResultCode({.status = 0x02, .driverStatus = 0x08}, 0x70), aspi::kCheckCondition);
  // A driver failure without status or sense is never success.
  EXPECT_EQ(AspiResultCode({.driverStatus = 0x04}, 0), aspi::kOther);
  EXPECT_EQ(AspiResultCode({.osError = ENODEV}, 0), aspi::kNoDevice);
  EXPECT_EQ(AspiResultCode({.osError = EBUSY}, 0), aspi::kInterfaceBusy);
}

TEST(ScsiResultCodes, SenseGivesTheCommandResultAndItsName) {
  auto sense = [](uint8_t response, uint8_t byte2, uint8_t byte3 = 0) {
    std::array<uint8_t, 18> s{};
    s[0] = response;
    s[2] = byte2;
    s[3] = byte3;
    return s;
  };
  EXPECT_EQ(ScsiResultFromSense(0, {}), 0);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x01)), 0);  // recovered error
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x00)), 0);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0xF0, 0x03)), 0x030000);  // valid bit set, still fixed format
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x71, 0x06)), 0x060000);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x0F)), 0x0F0000);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x80)), kScsiFilemark);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x40)), kScsiEndOfMedium);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x20, 0x80)), kScsiIncorrectLength);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x70, 0x20, 0x00)), 0);
  EXPECT_EQ(ScsiResultFromSense(1, sense(0x72, 0x03)), kScsiDriverError);  // descriptor format
  EXPECT_EQ(ScsiResultFromSense(14, {}), kScsiDriverError);
  EXPECT_EQ(ScsiResultFromSense(26, {}), kScsiUnknown);

  EXPECT_STREQ(ScsiResultName(0), "No Sense");
  EXPECT_STREQ(ScsiResultName(0x030000), "Medium Error");
  EXPECT_STREQ(ScsiResultName(0x0F0000), "Reserved");
  EXPECT_STREQ(ScsiResultName(kScsiIncorrectLength), "Incorrect Length");
  EXPECT_STREQ(ScsiResultName(kScsiDriverError), "Driver Error");
  EXPECT_STREQ(ScsiResultName(kScsiUnknown), "Unknown");
  EXPECT_STREQ(ScsiResultName(0x160000), "Unknown");
  EXPECT_STREQ(ScsiResultName(-1), "Unknown");
}

TEST(ScsiDeviceAnswers, InquiryAndCapacityAreParsedAndBounded) {
  std::array<uint8_t, 36> data{};
  data[0] = 0x20 | 0x00;
  data[1] = 0x80;
  data[2] = 0x05;
  data[7] = 0x72;  // WBus32, WBus16, Sync, CmdQue
  std::memcpy(&data[8], "IBM     DDYS-T36950M    S96H", 28);
  const InquiryFields f = ParseInquiry(data);
  EXPECT_EQ(f.deviceType, 0);
  EXPECT_EQ(f.removable, 1);
  EXPECT_EQ(f.version, 5);
  EXPECT_EQ(f.wbus32 + f.wbus16 + f.sync + f.cmdQue, 4);
  EXPECT_EQ(f.linked + f.sftRe, 0);
  EXPECT_EQ(f.vendorProduct, "IBM DDYS-T36950M");
  EXPECT_EQ(f.revision, "S96H");
  EXPECT_EQ(ParseInquiry(std::span<const uint8_t>(data).first(3)).vendorProduct, " ");

  const uint8_t capacity[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x08};
  EXPECT_EQ(ParseReadCapacity(capacity).blockLength, 520u);
  EXPECT_EQ(ParseReadCapacity(capacity).blockCount(), 0u);  // 32-bit count wraps as the list shows it
  EXPECT_EQ(ParseReadCapacity(std::span<const uint8_t>(capacity).first(2)).lastBlock, 0xFFFF0000u);
}

TEST(ScsiRetry, RecoveredErrorCountsAsSuccessWithoutRetry) {
  SimulatedMachine m;
  ScsiDeviceManager manager(m.host);
  ScsiTarget target(*m.host);
  ASSERT_EQ(target.bind(manager.devices()[0].get()), 0);
  m.bus.commands.clear();
  m.bus.faults.push_back(CheckCondition(0x01, 0x18, 0x00));
  uint32_t last = 0, length = 0;
  EXPECT_EQ(target.readCapacity(last, length), 0);
  EXPECT_EQ(target.status(), aspi::kSuccess);
  EXPECT_EQ(m.bus.commands.size(), 1u);
}

TEST(ScsiRetry, NotReadyIsNotRetriedButBecomingReadyIsForThirtySeconds) {
  SimulatedMachine m;
  ScsiDeviceManager manager(m.host);
  ScsiTarget target(*m.host);
  ASSERT_EQ(target.bind(manager.devices()[0].get()), 0);
  uint32_t last = 0, length = 0;

  m.bus.commands.clear();
  m.bus.faults.push_back(CheckCondition(0x02, 0x3A, 0x00));  // medium not present
  EXPECT_EQ(target.readCapacity(last, length), 0x020000);
  EXPECT_STREQ(ScsiResultName(target.lastResult()), "Not Ready");
  EXPECT_EQ(m.bus.commands.size(), 1u);
  EXPECT_EQ(target.sense()[12], 0x3A);
  EXPECT_TRUE(m.clock.pauses.empty());

  // Becoming ready twice, then ready: two one-second pauses and the real answer.
  m.bus.commands.clear();
  m.bus.faults.push_back(CheckCondition(0x02, 0x04, 0x01));
  m.bus.faults.push_back(CheckCondition(0x02, 0x04, 0x01));
  EXPECT_EQ(target.readCapacity(last, length), 0);
  EXPECT_EQ(length, 520u);
  EXPECT_EQ(m.bus.commands.size(), 3u);
  EXPECT_EQ(m.clock.pauses, (std::vector<int>{1000, 1000}));

  // A disk that never becomes ready is given up after limit / 1000 + 1 seconds.
  m.bus.commands.clear();
  m.clock.pauses.clear();
  for (int i = 0; i < 100; ++i) m.bus.faults.push_back(CheckCondition(0x02, 0x04, 0x01));
  EXPECT_EQ(target.readCapacity(last, length), 0x020000);
  EXPECT_EQ(m.clock.pauses.size(), 32u);  // failures at 0 to 31 seconds are retried
  EXPECT_EQ(m.bus.commands.size(), 33u);
}

TEST(ScsiRetry, BusyUnitAttentionAndTimeouts) {
  SimulatedMachine m;
  ScsiDeviceManager manager(m.host);
  ScsiTarget target(*m.host);
  ASSERT_EQ(target.bind(manager.devices()[0].get()), 0);
  uint32_t last = 0, length = 0;

  m.bus.commands.clear();
  m.bus.faults = {CheckCondition(0x06, 0x29, 0x00), CheckCondition(0x06, 0x29, 0x00), TargetBusy()};
  EXPECT_EQ(target.readCapacity(last, length), 0);
  EXPECT_EQ(m.bus.commands.size(), 4u);
  EXPECT_EQ(m.clock.pauses, (std::vector<int>{1000}));  // only the busy answer waits

  // A time-out is not retried and is a driver error to the caller.
  m.bus.commands.clear();
  m.bus.faults = {TimedOut()};
  EXPECT_EQ(target.readCapacity(last, length), kScsiDriverError);
  EXPECT_EQ(target.status(), aspi::kTimeout);
  EXPECT_EQ(m.bus.commands.size(), 1u);

  // A medium error is returned at once with its sense kept.
  m.bus.faults = {CheckCondition(0x03, 0x11, 0x00)};
  std::vector<uint8_t> buffer(520);
  EXPECT_EQ(target.read10(0, 1, 520, buffer), 0x030000);
  EXPECT_EQ(target.sense()[2], 0x03);
}

TEST(ScsiDeviceManager, ProbesEveryTargetButTheAdaptersOwnIdAtLunZero) {
  SimulatedMachine m;
  m.bus.addAdapter(1, 3);
  m.bus.addDisk({1, 7, 0}, SimulatedDisk{.backingFile = m.dir / "disk.bin", .vendor = "HP", .product = "DISK"});
  m.bus.addDisk({1, 3, 0}, SimulatedDisk{.backingFile = m.dir / "disk.bin"});  // at the adapter's own id
  m.bus.addDisk({0, 200, 0}, SimulatedDisk{.backingFile = m.dir / "disk.bin"});  // beyond any reported maximum
  ScsiDeviceManager manager(m.host);

  ASSERT_EQ(manager.adapters().size(), 2u);
  EXPECT_EQ(manager.adapters()[0].maxTargets, 255);
  ASSERT_EQ(manager.devices().size(), 3u);
  EXPECT_EQ(manager.devices()[0]->address, (ScsiAddress{0, 2, 0}));
  EXPECT_EQ(manager.devices()[1]->address, (ScsiAddress{0, 200, 0}));
  EXPECT_EQ(manager.devices()[2]->address, (ScsiAddress{1, 7, 0}));
  EXPECT_EQ(manager.devices()[2]->displayName, "HP DISK");
  EXPECT_EQ(manager.devices()[0]->displayName, "SEAGATE ST3300657SS");
  EXPECT_EQ(manager.devices()[0]->revision, "0008");
  EXPECT_EQ(manager.devices()[0]->deviceType, 0);
  EXPECT_EQ(m.bus.probed.size(), 2u * 254u);
  for (const ScsiAddress& a : m.bus.probed) {
    EXPECT_EQ(a.lun, 0);
    EXPECT_FALSE(a.adapter == 0 && a.target == 7);
    EXPECT_FALSE(a.adapter == 1 && a.target == 3);
  }

  // A device whose INQUIRY keeps failing is not listed.
  SimulatedMachine failing;
  failing.bus.faults.push_back(CheckCondition(0x04, 0x44, 0x00));
  ScsiDeviceManager none(failing.host);
  EXPECT_TRUE(none.devices().empty());
}

TEST(ScsiDeviceManager, NoPassThroughMeansNoDevices) {
  struct Missing : SimulatedTransport {
    using SimulatedTransport::SimulatedTransport;
    int adapterCount() override { return -1; }
  };
  SimulatedBus bus;
  FakeScsiClock clock;
  ScsiDeviceManager manager(std::make_shared<ScsiHostInterface>(std::make_shared<Missing>(bus), clock));
  EXPECT_EQ(manager.supportInfo(), 0xE400u);
  EXPECT_TRUE(manager.devices().empty());
}

TEST(ScsiTarget, ReadsBlocksAndTracesEachRequest) {
  SimulatedMachine m;
  std::ostringstream trace;
  m.host->setTrace(&trace);
  ScsiDeviceManager manager(m.host);
  ScsiTarget target(*m.host);
  EXPECT_EQ(target.bind(nullptr), kScsiDriverError);
  std::vector<uint8_t> buffer(128 * 520);
  EXPECT_EQ(target.read10(0, 1, 520, buffer), kScsiDriverError);  // nothing bound

  ASSERT_EQ(target.bind(manager.devices()[0].get()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&target.inquiryData()[8]), 7), "SEAGATE");
  uint32_t last = 0, length = 0;
  ASSERT_EQ(target.readCapacity(last, length), 0);
  EXPECT_EQ(last, 299u);
  EXPECT_EQ(length, 520u);

  trace.str({});
  ASSERT_EQ(target.read10(0x10, 0x80, 520, buffer), 0);
  EXPECT_EQ(trace.str(), "  SRB CMD=2,HA=0,FL=48,cdb=28 00 00 00 00 10 00 00 80 00,BUFLEN=66560,SENSELEN=128\n");
  EXPECT_EQ(buffer[0], 0x10);
  EXPECT_EQ(buffer[520 * 127 + 519], 0x10 + 127);
  EXPECT_EQ(m.bus.commands.back()[0], 0x28);

  // Reading past the end is an illegal request.
  EXPECT_EQ(target.read10(299, 2, 520, buffer), 0x050000);
  EXPECT_EQ(target.read10(0, 200, 520, buffer), kScsiDriverError);  // buffer too small: refused, not overrun

  // Adapter inquiries and probes trace without a CDB part.
  std::ostringstream probes;
  m.host->setTrace(&probes);
  ScsiDeviceManager again(m.host);
  EXPECT_EQ(probes.str().substr(0, probes.str().find('\n')), "  SRB CMD=0,HA=0,FL=48");
  EXPECT_NE(probes.str().find("  SRB CMD=1,HA=0,FL=40\n"), std::string::npos);
  target.unbind();
  EXPECT_EQ(target.read10(0, 1, 520, buffer), kScsiDriverError);
}

TEST(SgTransport, EnumeratesAdaptersAndDevicesFromSysfs) {
  TempDir dir;
  const auto sys = dir / "sys";
  AddFakeSysfsHost(sys, 0, 7);
  AddFakeSysfsHost(sys, 2, -1);
  AddFakeSysfsDisk(sys, 2, 1, 4, 0, "sg3", "sdc", "8:32");
  AddFakeSysfsDisk(sys, 2, 0, 4, 0, "sg2", "sdb", "8:16");
  AddFakeSysfsDisk(sys, 0, 0, 1, 1, "sg1");
  SgTransport transport(sys, dir / "dev");
  EXPECT_EQ(transport.adapterCount(), 3);
  ASSERT_TRUE(transport.inquireAdapter(0));
  EXPECT_EQ(transport.inquireAdapter(0)->ownId, 7);
  EXPECT_EQ(transport.inquireAdapter(0)->identifier, "sim");
  EXPECT_FALSE(transport.inquireAdapter(1));
  EXPECT_EQ(transport.inquireAdapter(2)->ownId, -1);
  EXPECT_TRUE(transport.hasDevice({2, 4, 0}));
  EXPECT_FALSE(transport.hasDevice({0, 1, 0}));
  EXPECT_EQ(transport.blockDeviceOf({2, 4, 0}), makedev(8, 16));  // the lowest channel
  std::array<uint8_t, 18> sense{};
  EXPECT_EQ(transport.execute({0, 5, 0}, {}, {}, sense, 1000).osError, ENODEV);
  SgTransport empty(dir / "nothing", dir / "dev");
  EXPECT_EQ(empty.adapterCount(), 0);
}
