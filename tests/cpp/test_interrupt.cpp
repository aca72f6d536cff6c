// Stopping long operations: every one leaves the index as it was, on one
// thread and on the pool, and a later call runs normally.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "index/skerry_index.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "test_support.h"

using varnel::Interrupted;
using varnel::InterruptScope;
using varnel::Rotation;
using varnel::SkerryIndex;

namespace {

class InterruptTest : public ::testing::TestWithParam<std::tuple<uint64_t, std::size_t>> {
 protected:
  void SetUp() override { varnel::set_num_threads(std::get<1>(GetParam())); }
  void TearDown() override { varnel::set_num_threads(0); }
  uint64_t bits() const { return std::get<0>(GetParam()); }
};

void expect_same(const varnel::SearchResults& a, const varnel::SearchResults& b) {
  EXPECT_EQ(a.indices, b.indices);
  EXPECT_EQ(a.scores, b.scores);
}

TEST_P(InterruptTest, StoppedCallsLeaveTheIndexAsItWas) {
  const uint64_t dim = 64;
  SkerryIndex index = SkerryIndex::create(dim, bits(), Rotation::Rotor3);
  index.add(varnel::testing::random_vectors(20000, dim, 1));
  const auto queries = varnel::testing::random_vectors(64, dim, 2);
  const auto before = index.search(queries, 10);
  const auto codes = index.codes();
  const auto blocked = index.code_store().blocked().bytes;
  const auto more = varnel::testing::random_vectors(50000, dim, 3);
  const std::function<void()> calls[] = {
      [&] { index.add(more); },
      [&] { index.search(queries, 10); },
      [&] { index.search(std::span(queries).first(dim), 10); },
  };
  for (const auto& call : calls) {
    InterruptScope stop_now([] { return true; });
    EXPECT_THROW(call(), Interrupted);
  }
  EXPECT_EQ(index.len(), 20000u);
  EXPECT_EQ(index.codes(), codes);
  EXPECT_EQ(index.code_store().blocked().bytes, blocked);
  expect_same(index.search(queries, 10), before);
}

TEST_P(InterruptTest, ACheckThatNeverFiresChangesNothing) {
  const uint64_t dim = 32;
  SkerryIndex plain = SkerryIndex::create(dim, bits(), Rotation::Iso4);
  SkerryIndex watched = SkerryIndex::create(dim, bits(), Rotation::Iso4);
  const auto data = varnel::testing::random_vectors(5000, dim, 4);
  const auto queries = varnel::testing::random_vectors(33, dim, 5);
  plain.add(data);
  InterruptScope never([] { return false; });
  watched.add(data);
  expect_same(watched.search(queries, 7), plain.search(queries, 7));
}

INSTANTIATE_TEST_SUITE_P(BitsAndThreads, InterruptTest,
                         ::testing::Combine(::testing::Values(2, 3, 4), ::testing::Values(1, 2, 4)));

// The blocked layout is the codes' storage: prepare has nothing to build for
// it, and a stopped add leaves its bytes, the zero lanes after the last
// vector included, exactly as they were.
TEST(Interrupt, StoppedAddLeavesTheBlockedStoreAsItWas) {
  SkerryIndex index = SkerryIndex::create(64, 4, Rotation::Rotor3);
  index.add(varnel::testing::random_vectors(10001, 64, 6));
  const auto blocked = index.code_store().blocked().bytes;
  {
    InterruptScope stop_now([] { return true; });
    EXPECT_NO_THROW(index.prepare());
    EXPECT_THROW(index.add(varnel::testing::random_vectors(30000, 64, 7)), Interrupted);
  }
  EXPECT_EQ(index.len(), 10001u);
  EXPECT_EQ(index.code_store().blocked().bytes, blocked);
}

TEST(Interrupt, CheckNowRunsTheInstalledCheck) {
  EXPECT_NO_THROW(varnel::check_interrupt_now());  // no check installed
  InterruptScope outer([] { return false; });
  EXPECT_NO_THROW(varnel::check_interrupt_now());
  {
    InterruptScope inner([] { return true; });
    EXPECT_THROW(varnel::check_interrupt_now(), Interrupted);
  }
  EXPECT_NO_THROW(varnel::check_interrupt_now());
}

}  // namespace
