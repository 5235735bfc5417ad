#include "disk/DiskAccess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/disk/FakeDiskTree.h"
#include "tests/support/OtherUser.h"

using namespace brenvik;
using brenvik::testing::FakeDiskTree;
using brenvik::testing::OtherUser;

namespace {

std::vector<std::string> Names(const std::vector<WholeDisk>& disks) {
  std::vector<std::string> names;
  for (const WholeDisk& disk : disks) names.push_back(disk.name + "#" + std::to_string(disk.diskNumber));
  return names;
}

}  // namespace

TEST(DiskAccess, NamesTheDisksAUserIsKeptOutOf) {
  FakeDiskTree tree;
  // Only the tree itself may be entered by the other user; the nodes decide.
  ::chmod(tree.sysfsRoot().parent_path().c_str(), 0755);
  tree.add({.name = "sda"});
  tree.add({.name = "sdb"});
  tree.add({.name = "sdc"});
  tree.add({.name = "sdd"});
  tree.add({.name = "sde"});
  ::chmod((tree.devRoot() / "sda").c_str(), 0600);  // root's alone
  ::chmod((tree.devRoot() / "sdb").c_str(), 0666);  // open to everyone
  ::chmod((tree.devRoot() / "sdc").c_str(), 0644);  // readable only: imaging needs both
  std::filesystem::remove(tree.devRoot() / "sdd");  // no node: more rights would not help
  tree.addFolder("sda1", "partition");              // partitions are never listed
  ::chmod((tree.devRoot() / "sde").c_str(), 0600);

  // Root is kept out of nothing.
  EXPECT_TRUE(ListDisksWithoutAccess(tree.sysfsRoot(), tree.devRoot()).empty());

  OtherUser nobody;
  if (!nobody.active()) GTEST_SKIP() << "needs root to run part of the test as the user nobody";
  EXPECT_EQ(Names(ListDisksWithoutAccess(tree.sysfsRoot(), tree.devRoot())),
            (std::vector<std::string>{"sda#0", "sdc#2", "sde#4"}));
}
