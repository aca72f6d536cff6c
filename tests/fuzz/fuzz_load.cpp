// libFuzzer target for the index-file reader: any input must either load as
// a working index or fail with IoError. Built by tools/fuzz_load.sh.
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "io.h"

namespace {

using varnel::IdMapIndex;
using varnel::SkerryIndex;

// Indexes wider than this are only checked for consistency: their rotation
// tables alone would outgrow the fuzzer's memory limit.
constexpr uint64_t kMaxExercisedDim = 4096;
// Building an index's tables (codebook, rotations) costs far more than
// loading it, so only a fixed share of the inputs, chosen by their hash,
// is searched and edited; the fuzzer stays fast and every run reproduces.
constexpr uint64_t kDeepShare = 16;

uint64_t fnv1a(std::span<const uint8_t> bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  return hash;
}

std::vector<float> test_vectors(uint64_t count, uint64_t dim) {
  std::vector<float> values(count * dim);
  uint32_t state = 12345;
  for (float& value : values) {
    state = state * 1664525u + 1013904223u;
    value = float(int32_t(state >> 8) - (1 << 23)) / float(1 << 22);
  }
  return values;
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void check_search(const SkerryIndex& index) {
  const varnel::SearchResults found = index.search(test_vectors(2, index.dim()), 3);
  check(found.scores.size() == 2 * found.k && found.indices.size() == 2 * found.k);
  for (const int64_t position : found.indices) {
    check(position >= -1 && position < int64_t(index.len()));
  }
}

void exercise(SkerryIndex& index, bool deep) {
  check(index.codes().size() == index.len() * index.row_bytes());
  check(index.norms().size() == index.len());
  if (index.len() > 0) index.swap_remove(index.len() / 2);
  if (!deep || index.dim() > kMaxExercisedDim) return;
  index.prepare();
  check_search(index);
  index.add(test_vectors(1, index.dim()));
  check_search(index);
}

void exercise(IdMapIndex& index, bool deep) {
  check(index.ids().size() == index.len() && index.core().len() == index.len());
  const std::unordered_set<uint64_t> stored(index.ids().begin(), index.ids().end());
  check(stored.size() == index.len());
  for (const uint64_t id : index.ids()) check(index.contains(id));
  if (index.len() > 0) check(index.remove(index.ids()[index.len() / 2]));
  if (!deep || index.dim() > kMaxExercisedDim) return;
  index.prepare();
  for (const uint64_t id : index.search(test_vectors(2, index.dim()), 3).ids) {
    check(id == IdMapIndex::kEmptyId || stored.count(id) == 1);
  }
  uint64_t fresh = 0;
  while (index.contains(fresh)) ++fresh;
  index.add_with_ids(test_vectors(1, index.dim()), std::vector<uint64_t>{fresh});
  check(index.contains(fresh));
}

template <class Read>
void load_and_exercise(std::span<const uint8_t> bytes, Read&& read, bool deep) {
  try {
    varnel::MemorySource source(bytes);
    varnel::BufferedReader reader(source);
    auto index = read(reader);
    exercise(index, deep);
  } catch (const varnel::IoError&) {
    // The only acceptable failure; anything else escapes and is reported.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const bool deep = fnv1a(bytes) % kDeepShare == 0;
  load_and_exercise(bytes, varnel::read_index_from, deep);
  load_and_exercise(bytes, varnel::read_id_map_from, deep);
  return 0;
}
