// Disks the user may not open, opened by udisks2 (a mock on a private bus): the device list shows
// them, the copy asks for the one disk it needs, reads and writes the descriptors handed back, and
// stops cleanly when polkit says no. The job runs on a thread without the rights to override file permissions, as a user's.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "disk/ImagingDevices.h"
#include "disk/ImagingJob.h"
#include "tests/disk/FakeDiskTree.h"
#include "tests/disk/ImagingTestSupport.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

// Drops, for the calling thread (and the threads it starts), root's rights to read and write
// files whatever their permissions.
bool DropFileRights() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
    data[cap / 32].permitted &= ~(1u << (cap % 32));
  }
  return ::syscall(SYS_capset, &header, data) == 0;
}

// The mock udisks2 for the time of a test; `address` is empty when it could not be started.
class MockUDisks {
 public:
  MockUDisks(const std::filesystem::path& dir, const std::string& disks) : ready_(dir / "bus"), log_(dir / "calls") {
    if (::access("/usr/bin/python3", X_OK) != 0 || std::system("command -v dbus-daemon >/dev/null") != 0 ||
        std::system("/usr/bin/python3 -c 'import dbusmock, gi' 2>/dev/null") != 0)
      return;
    const std::string command = "/usr/bin/python3 " BRENVIK_UDISKS_MOCK " '" + ready_.string() + "' '" +
                                log_.string() + "' " + disks;
    pipe_ = ::popen(command.c_str(), "w");
    for (int i = 0; pipe_ != nullptr && i < 200 && !std::filesystem::exists(ready_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::filesystem::exists(ready_)) address = ReadFile(ready_);
  }
  ~MockUDisks() {
    if (pipe_ != nullptr) ::pclose(pipe_);  // its input closes: it ends, and its bus with it
  }
  // The calls made, in order, without their times (and without the property reads the mock
  // makes for itself).
  std::vector<std::string> calls() const {
    std::vector<std::string> calls;
    std::istringstream log(ReadFile(log_));
    for (std::string line; std::getline(log, line);) {
      line = line.substr(line.find(' ') + 1);
      if (line.rfind("GetAll ", 0) != 0) calls.push_back(line);
    }
    return calls;
  }

  std::string address;

 private:
  std::filesystem::path ready_, log_;
  FILE* pipe_ = nullptr;
};

// A disk node the user may not open: owned by another user, for its owner alone.
void ForAnotherUser(const std::filesystem::path& node) {
  ASSERT_EQ(::chown(node.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
}

}  // namespace

TEST(ImagingUDisks, ADiskTheUserMayNotOpenIsListedAndOpenedByUDisksAndARefusalStopsTheCopy) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make disks the test thread may not open";
  TempDir dir;
  FakeDiskTree tree;
  // What the nodes hold is not what udisks2 hands back: the copy must read the descriptor.
  for (const char* name : {"sdw", "sdx", "sdy", "sdz"}) {
    tree.add({.name = name, .sizeUnits = 64, .model = "LOCKED DISK"}, std::string(64 * 512, '\0'));
    ForAnotherUser(tree.devRoot() / name);
  }
  const std::string behindSource = Sectors(64, 512);
  WriteFile(dir / "source-behind", behindSource);
  WriteFile(dir / "target-behind", std::string(64 * 512, '\0'));
  // udisks2 knows three of them, and polkit refuses one of those.
  const auto node = [&](const char* name) { return (tree.devRoot() / name).string(); };
  MockUDisks udisks(dir.path(), std::string("sdz=") + node("sdz") + "=" + (dir / "source-behind").string() + " sdy=" +
                                    node("sdy") + " sdx=" + node("sdx") + "=" + (dir / "target-behind").string());
  if (udisks.address.empty()) GTEST_SKIP() << "no mock udisks2 (needs dbus-daemon, python3-dbusmock, python3-gi)";

  ImagingDeviceSources sources;
  sources.system.sysfsRoot = tree.sysfsRoot();
  sources.system.devRoot = tree.devRoot();
  sources.system.systemBus = udisks.address;
  ImagingEnvironment env;
  env.system = sources.system;
  ImagingDeviceScan scan;
  RecordingReporter copied, refused;
  ImagingEnd copyEnd = ImagingEnd::Failed, refusedEnd = ImagingEnd::Completed;
  bool dropped = false;
  std::thread user([&] {
    dropped = DropFileRights();
    if (!dropped) return;
    scan = ScanImagingDevices(sources);
    ImagingRequest p;
    p.sourceDisk = 3;
    p.sourceDiskNode = scan.diskNodes[3];  // sdz
    p.targetDisk = 1;
    p.targetDiskNode = scan.diskNodes[1];  // sdx
    p.sourceCount = p.targetSize = 64;
    p.sourceSectorSize = p.targetSectorSize = 512;
    std::atomic<int> stop{0};
    copyEnd = RunImaging(p, stop, copied, env).end;
    p.sourceDisk = 2;
    p.sourceDiskNode = scan.diskNodes[2];  // sdy
    refusedEnd = RunImaging(p, stop, refused, env).end;
  });
  user.join();
  if (!dropped) GTEST_SKIP() << "cannot drop the rights to override file permissions";

  // The disks udisks2 can open are listed from sysfs; the one it does not know is named as denied.
  std::vector<std::u16string> labels;
  for (const ImagingDeviceRow& row : scan.standard) labels.push_back(row.label);
  EXPECT_EQ(labels, (std::vector<std::u16string>{u"#1", u"#2", u"#3"}));
  EXPECT_EQ(scan.standard.front().size, u"64");
  EXPECT_EQ(scan.denied, (std::vector<std::filesystem::path>{tree.devRoot() / "sdw"}));

  EXPECT_EQ(copyEnd, ImagingEnd::Completed);
  EXPECT_EQ(copied.rows, (std::vector<Row>{kStarted, kDone}));  // read directly, not through the cache
  EXPECT_TRUE(ReadFile(dir / "target-behind") == behindSource);
  EXPECT_EQ(ReadFile(tree.devRoot() / "sdx"), std::string(64 * 512, '\0'));
  // Each disk is asked for by its own object, after checking that object names the node chosen.
  const std::string object = "/org/freedesktop/UDisks2/block_devices/";
  const auto get = [&](const char* name) { return "Get " + object + name + " org.freedesktop.UDisks2.Block.Device"; };
  EXPECT_EQ(udisks.calls(), (std::vector<std::string>{
                                get("sdx"), get("sdy"), get("sdz"),  // the scan
                                get("sdz"), "OpenForBackup {}", get("sdx"), "OpenForRestore {}",
                                get("sdy"), "OpenForBackup {}",
                                "OpenForBackup raised: org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain: Not "
                                "authorized to perform operation"}));

  EXPECT_EQ(refusedEnd, ImagingEnd::Failed);
  EXPECT_EQ(refused.rows, (std::vector<Row>{kStarted, {u"权限", u"未获授权打开磁盘"}, {u"错误", u"打开源设备错误"},
                                            kInterrupted}));
}
