#include "dbrepair/FillPattern.h"

#include <cstring>

namespace brenvik {

BlockTest::BlockTest(std::span<const uint8_t> pattern, size_t blockSize)
    : expected_(blockSize), enabled_(!pattern.empty()) {
  if (!enabled_) return;
  for (size_t k = 0; k < blockSize; ++k) expected_[k] = pattern[k % pattern.size()];
}

bool BlockTest::isLost(const uint8_t* block) const {
  return enabled_ && std::memcmp(block, expected_.data(), expected_.size()) == 0;
}

}  // namespace brenvik
