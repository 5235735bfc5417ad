// Feeds hostile device answers to everything that parses them: INQUIRY and READ CAPACITY data,
// sense data and kernel status, through the parsers and through a whole ScsiTarget whose
// transport answers from the fuzz input; and the Tips key the page parses back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/TextHelpers.h"
#include "disk/ImagingForm.h"
#include "disk/ScsiLayer.h"

using namespace brenvik;

namespace {

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  std::span<const uint8_t> take(size_t n) {
    n = std::min(n, size_ - at_);
    std::span<const uint8_t> part(data_ + at_, n);
    at_ += n;
    return part;
  }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Every command gets status bytes, sense and data from the input, in turn.
class FuzzTransport : public ScsiTransport {
 public:
  explicit FuzzTransport(Bytes& bytes) : bytes_(bytes) {}
  int adapterCount() override { return bytes_.next() % 3; }
  std::optional<HostAdapterInfo> inquireAdapter(int adapter) override {
    if (bytes_.next() & 1) return std::nullopt;
    HostAdapterInfo info;
    info.adapter = adapter;
    info.ownId = bytes_.next();
    return info;
  }
  bool hasDevice(const ScsiAddress&) override { return (bytes_.next() & 0x3F) == 0; }
  ScsiCompletion execute(const ScsiAddress&, std::span<const uint8_t>, std::span<uint8_t> data,
                         std::span<uint8_t> sense, int) override {
    ScsiCompletion done;
    done.status = bytes_.next();
    done.hostStatus = bytes_.next() & 0x1F;
    done.driverStatus = bytes_.next() & 0x1F;
    done.timedOut = (bytes_.next() & 0x0F) == 0;
    const auto senseBytes = bytes_.take(bytes_.next());
    std::copy_n(senseBytes.begin(), std::min(senseBytes.size(), sense.size()), sense.begin());
    const auto dataBytes = bytes_.take(bytes_.next());
    std::copy_n(dataBytes.begin(), std::min(dataBytes.size(), data.size()), data.begin());
    return done;
  }

 private:
  Bytes& bytes_;
};

// Time moves on at every look, so no retry policy can spin for ever.
class TickingClock : public ScsiClock {
 public:
  int64_t seconds() override { return now_++; }
  void pause(int) override {}

 private:
  int64_t now_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> all(data, size);
  ParseInquiry(all);
  ParseReadCapacity(all);
  const SenseFields sense = ParseSense(all);
  (void)sense;
  for (int code = 0; code < 28; ++code) ScsiResultName(ScsiResultFromSense(code, all));
  if (size >= 6) {
    ScsiCompletion c{.timedOut = (data[0] & 1) != 0, .osError = data[1], .status = data[2],
                     .hostStatus = data[3], .driverStatus = data[4]};
    AspiResultCode(c, data[5]);
  }
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  ParseTipsText(text);
  ParseLeadingInteger(text);

  Bytes bytes(data, size);
  TickingClock clock;
  auto host = std::make_shared<ScsiHostInterface>(std::make_shared<FuzzTransport>(bytes), clock);
  ScsiDeviceManager manager(host);
  ScsiDevice device;
  ScsiTarget target(*host);
  target.bind(&device);
  uint32_t last = 0, length = 0;
  target.readCapacity(last, length);
  std::vector<uint8_t> buffer(4 * 520);
  target.read10(last, 4, 520, buffer);
  target.read10(0, 5, 520, buffer);  // more than the buffer holds: refused
  return 0;
}
