#pragma once
// Runs part of a test with the rights of the user "nobody": the effective user and group change
// and the supplementary groups are dropped, while the saved user stays root so the test gets its
// rights back afterwards. Only a test run as root can do this; `active()` says whether it did.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace brenvik::testing {

class OtherUser {
 public:
  OtherUser() {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr) return;
    groups_.resize(static_cast<size_t>(::getgroups(0, nullptr)));
    if (::getgroups(static_cast<int>(groups_.size()), groups_.data()) < 0) return;
    if (::setgroups(0, nullptr) != 0 || ::setegid(nobody->pw_gid) != 0 || ::seteuid(nobody->pw_uid) != 0) {
      restore();
      return;
    }
    active_ = true;
  }
  ~OtherUser() { restore(); }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  bool active() const { return active_; }

 private:
  void restore() {
    if (::seteuid(0) == 0 && ::setegid(0) == 0) ::setgroups(groups_.size(), groups_.data());
    active_ = false;
  }

  std::vector<gid_t> groups_;
  bool active_ = false;
};

}  // namespace brenvik::testing
