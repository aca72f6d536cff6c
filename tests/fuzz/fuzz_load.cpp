// libFuzzer target for the index-file readers (every kind and layout): any input must either load as
// a working index or fail with IoError; an index that loads must write bytes
// that load as the same index. Inputs of the mapped layout also go through
// its reader, as they are and resealed (mapped_reseal.h). Built by
// tools/fuzz_load.sh.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "mapped_reseal.h"
#include "runtime/error.h"
#include "storage/io.h"
#include "storage/mapped_file.h"

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

// Writing a loaded index and reading it back gives the same index.
void check_round_trip(const SkerryIndex& index) {
  const SkerryIndex again = varnel::index_from_bytes(varnel::index_to_bytes(index));
  check(again.codes() == index.codes() && again.seed() == index.seed());
  check(std::equal(again.norms().begin(), again.norms().end(), index.norms().begin(),
                   [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }));
}

void check_round_trip(const IdMapIndex& index) {
  const IdMapIndex again = varnel::id_map_from_bytes(varnel::id_map_to_bytes(index));
  check(again.ids() == index.ids() && again.core().codes() == index.core().codes());
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

void check_round_trip(const varnel::PartitionedIndex& index) {
  const varnel::PartitionedIndex again = varnel::partitioned_from_bytes(varnel::partitioned_to_bytes(index));
  check(again.list_sizes() == index.list_sizes() && again.centroids() == index.centroids());
  for (uint64_t l = 0; l < index.lists(); ++l) {
    check(again.list_data()[l].ids == index.list_data()[l].ids);
    check(again.list_data()[l].codes.rows() == index.list_data()[l].codes.rows());
  }
}

void exercise(varnel::PartitionedIndex& index, bool deep) {
  uint64_t stored = 0;
  for (const auto& list : index.list_data()) {
    check(list.codes.size() == list.ids.size() && list.norms.size() == list.ids.size() &&
          list.lengths.size() == list.ids.size());
    stored += list.ids.size();
    for (const uint64_t id : list.ids) check(index.contains(id));
  }
  check(stored == index.len());
  if (!deep || index.dim() > kMaxExercisedDim || !index.is_trained()) return;
  const uint64_t probes = index.lists() < 2 ? index.lists() : 2;
  for (const uint64_t id : index.search(test_vectors(2, index.dim()), 3, probes).ids) {
    check(id == varnel::PartitionedIndex::kEmptyId || index.contains(id));
  }
  uint64_t fresh = 0;
  while (index.contains(fresh)) ++fresh;
  index.add_with_ids(test_vectors(1, index.dim()), std::vector<uint64_t>{fresh});
  check(index.contains(fresh) && index.remove(fresh));
}

template <class Read>
void load_and_exercise(std::span<const uint8_t> bytes, Read&& read, bool deep) {
  try {
    varnel::MemorySource source(bytes);
    varnel::BufferedReader reader(source);
    auto index = read(reader);
    check_round_trip(index);
    exercise(index, deep);
  } catch (const varnel::IoError&) {
    // The only acceptable failure; anything else escapes and is reported.
  }
}

// The input followed by a valid trailer for all of it: a checksum is beyond
// what mutations find, and this way inputs also reach the verified branch.
std::vector<uint8_t> with_trailer(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out(bytes.begin(), bytes.end());
  const uint64_t covered = bytes.size();
  const uint32_t checksum = varnel::crc32c(bytes);
  out.insert(out.end(), varnel::kTrailerTag.begin(), varnel::kTrailerTag.end());
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(covered >> (8 * i)));
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(checksum >> (8 * i)));
  return out;
}

// A mapped index reads the input in place: it must search, find each of
// its ids where it stands or nowhere, refuse changes, and copy into memory.
void exercise_mapped(const SkerryIndex& index, bool deep) {
  check(index.is_mapped() && index.norms().size() == index.len());
  SkerryIndex copy = index.owned_copy();
  check(copy.codes() == index.codes());
  if (deep && index.dim() <= kMaxExercisedDim) check_search(index);
}

void exercise_mapped(const IdMapIndex& index, bool deep) {
  for (uint64_t position = 0; position < index.len(); ++position) {
    uint64_t found = 0;
    if (index.position_of(index.ids()[position], &found)) check(index.ids()[found] == index.ids()[position]);
  }
  IdMapIndex writable = index;
  try {
    writable.remove(0);
    check(false);
  } catch (const varnel::ArgumentError&) {
  }
  exercise_mapped(index.core(), deep);
}

// A mapped partitioned index: the checks of a loaded one on a writable copy,
// after the mapping itself refused a change and searched.
void exercise_mapped(const varnel::PartitionedIndex& index, bool deep) {
  check(index.is_mapped());
  varnel::PartitionedIndex mapped = index;
  try {
    mapped.remove_many(std::vector<uint64_t>{});
    check(false);
  } catch (const varnel::ArgumentError&) {
  }
  if (deep && index.dim() <= kMaxExercisedDim && index.is_trained()) {
    for (const uint64_t id : index.search(test_vectors(2, index.dim()), 3, 1).ids) {
      check(id == varnel::PartitionedIndex::kEmptyId || index.contains(id));
    }
  }
  varnel::PartitionedIndex copy = index.owned_copy();
  check(!copy.is_mapped());
  exercise(copy, deep);
}

template <class Read>
void open_and_exercise(const std::vector<uint8_t>& bytes, Read&& read, bool deep) {
  varnel::fuzzing::AlignedCopy aligned(bytes);
  for (const bool verify : {false, true}) {
    try {
      const auto index = read(aligned.span(), std::make_shared<int>(0), verify);
      exercise_mapped(index, deep);
    } catch (const varnel::IoError&) {
    }
  }
}

void open_mapped(std::span<const uint8_t> bytes, bool deep) {
  const std::vector<uint8_t> raw(bytes.begin(), bytes.end());
  const std::vector<uint8_t> resealed = varnel::fuzzing::resealed(raw);
  for (const auto* input : {&raw, &resealed}) {
    open_and_exercise(*input, varnel::read_mapped_index, deep);
    open_and_exercise(*input, varnel::read_mapped_id_map, deep);
    open_and_exercise(*input, varnel::read_mapped_partitioned, deep);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const bool deep = fnv1a(bytes) % kDeepShare == 0;
  load_and_exercise(bytes, varnel::read_index_from, deep);
  load_and_exercise(bytes, varnel::read_id_map_from, deep);
  const std::vector<uint8_t> sealed = with_trailer(bytes);
  load_and_exercise(sealed, varnel::read_index_from, false);
  load_and_exercise(sealed, varnel::read_id_map_from, false);
  if (varnel::is_mapped_layout(bytes)) open_mapped(bytes, deep);
  load_and_exercise(bytes, varnel::read_partitioned_from, deep);
  load_and_exercise(sealed, varnel::read_partitioned_from, false);
  return 0;
}
