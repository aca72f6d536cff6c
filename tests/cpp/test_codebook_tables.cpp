#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "quantize/codebook.h"
#include "runtime/error.h"

namespace varnel {
namespace {

std::vector<uint32_t> bit_patterns(const std::vector<float>& values) {
  std::vector<uint32_t> patterns;
  for (float value : values) patterns.push_back(std::bit_cast<uint32_t>(value));
  return patterns;
}

// A stale table (the computation changed without regenerating), a table
// written by a build with other float flags, or an offset error in the
// lookup all show up as a mismatch here. The dims cover both ends, the
// common embedding sizes and the boundary between two widths in the array.
TEST(CodebookTables, EqualFreshComputationBitForBit) {
  for (uint64_t bits : {2, 3, 4}) {
    for (uint64_t dim : {8, 16, 128, 384, 768, 1000, 1536, 4088, 4096}) {
      SCOPED_TRACE(testing::Message() << "bits " << bits << ", dim " << dim);
      Codebook table;
      ASSERT_TRUE(precomputed_codebook(bits, dim, &table));
      const Codebook computed = compute_codebook(bits, dim);
      EXPECT_EQ(bit_patterns(table.boundaries), bit_patterns(computed.boundaries));
      EXPECT_EQ(bit_patterns(table.centroids), bit_patterns(computed.centroids));
      const Codebook served = codebook(bits, dim);
      EXPECT_EQ(bit_patterns(served.centroids), bit_patterns(computed.centroids));
    }
  }
}

// Shapes outside the table leave the output alone and are computed.
TEST(CodebookTables, OtherShapesAreComputed) {
  const struct {
    uint64_t bits, dim;
  } outside[] = {{2, 12}, {4, 4104}, {3, 0}, {3, 4}, {1, 128}, {5, 128}, {0, 128}};
  for (const auto& shape : outside) {
    Codebook untouched{{1.0f}, {2.0f}};
    EXPECT_FALSE(precomputed_codebook(shape.bits, shape.dim, &untouched)) << shape.bits << " " << shape.dim;
    EXPECT_EQ(untouched.boundaries, std::vector<float>{1.0f});
    EXPECT_EQ(untouched.centroids, std::vector<float>{2.0f});
  }
  for (const auto& [bits, dim] : {std::pair<uint64_t, uint64_t>{2, 12}, {4, 4104}}) {
    const Codebook served = codebook(bits, dim);
    const Codebook computed = compute_codebook(bits, dim);
    EXPECT_EQ(served.centroids.size(), size_t{1} << bits);
    EXPECT_EQ(bit_patterns(served.boundaries), bit_patterns(computed.boundaries));
    EXPECT_EQ(bit_patterns(served.centroids), bit_patterns(computed.centroids));
  }
  EXPECT_THROW(codebook(2, 2), Error);
  EXPECT_THROW(codebook(9, 128), Error);
}

}  // namespace
}  // namespace varnel
