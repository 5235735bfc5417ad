#pragma once
// Runs a test in a given time zone (a TZ value) and puts the previous one back afterwards, so
// dates rendered in local time come out the same on every machine.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace brenvik::testing {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) ::setenv("TZ", previous_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// A machine at UTC+8 all year.
inline constexpr char kUtcPlus8[] = "CST-8";

}  // namespace brenvik::testing
