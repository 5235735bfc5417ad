#pragma once
// The fill pattern that marks lost data in a damaged database file, and the test that tells a
// lost block from a good one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/FillPatternText.h"

namespace brenvik {

// Decides whether a block is lost: every byte at position k equals pattern byte k modulo the
// pattern length, over the whole block whatever the pattern length. The pattern is laid out
// once over a full block, so each test is one memcmp: whole words at a time, with the exact
// cyclic meaning even for a pattern that does not divide the block size.
class BlockTest {
 public:
  // An empty pattern marks nothing as lost.
  BlockTest(std::span<const uint8_t> pattern, size_t blockSize);

  size_t blockSize() const { return expected_.size(); }
  // `block` must hold blockSize() bytes.
  bool isLost(const uint8_t* block) const;

 private:
  std::vector<uint8_t> expected_;  // the pattern repeated over one block
  bool enabled_;
};

}  // namespace brenvik
