#include "index/skerry_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "quantize/encode.h"
#include "quantize/wht.h"
#include "runtime/interrupt.h"
#include "runtime/memory.h"
#include "runtime/pool.h"
#include "search/lut_scan.h"

namespace varnel {
namespace {

// Vectors encoded per step of `add`: bounds the working memory of a large
// batch (a few MB) without changing any result, since vectors are
// encoded independently.
constexpr uint64_t kEncodeChunk = 1024;

// Tables grow with dim (rotation matrices, per-query lookup tables), so a dim
// far beyond any embedding would exhaust memory on the first add or search.
constexpr uint64_t kMaxDim = uint64_t{1} << 24;

bool is_power_of_two(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

void check_parameters(uint64_t dim, uint64_t bits, Rotation rotation) {
  if (bits < 2 || bits > 4) throw Error("bits must be 2, 3, or 4");
  if (dim % 8 != 0) throw Error("dim must be a multiple of 8");
  if (rotation == Rotation::WalshRotor3 && !is_power_of_two(dim)) {
    throw Error("Rotation::WalshRotor3 requires dim to be a power of 2 (got " + std::to_string(dim) + ")");
  }
  if (dim > kMaxDim) throw Error("dim must be at most " + std::to_string(kMaxDim) + " (got " + std::to_string(dim) + ")");
}

// A codebook depends only on (bits, dim) and costs tens of milliseconds, so
// the process keeps every one it has computed: a new or loaded index of a
// known shape starts searching at once. Few shapes occur in one process.
Codebook shared_codebook(uint64_t bits, uint64_t dim) {
  static std::mutex mutex;
  static std::map<std::pair<uint64_t, uint64_t>, Codebook> known;
  const auto key = std::make_pair(bits, dim);
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto found = known.find(key); found != known.end()) return found->second;
  }
  Codebook computed = codebook(bits, dim);  // outside the lock: other shapes need not wait
  std::lock_guard<std::mutex> lock(mutex);
  return known.emplace(key, std::move(computed)).first->second;
}

// A NaN or infinite value, or one so large that the float32 norm overflows,
// leaves an infinite or NaN norm: such a vector would outrank or poison every
// search, so the batch is refused. The encoder computes the norms anyway.
void check_norms_are_finite(std::span<const float> norms) {
  for (std::size_t row = 0; row < norms.size(); ++row) {
    if (!std::isfinite(norms[row])) {
      throw Error("vector " + std::to_string(row) +
                  " of the batch has a NaN or infinite value, or a norm too large for float32");
    }
  }
}

[[noreturn]] void fail_length(const char* what, uint64_t left, uint64_t right) {
  throw Error(std::string("assertion `left == right` failed") + what + "\n  left: " +
              std::to_string(left) + "\n right: " + std::to_string(right));
}

}  // namespace

SkerryIndex SkerryIndex::with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed) {
  check_parameters(dim, bits, rotation);
  return SkerryIndex(dim, bits, rotation, seed);
}

SkerryIndex SkerryIndex::from_parts(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                    uint64_t n, RawVector<uint8_t> codes, RawVector<float> norms) {
  check_parameters(dim, bits, rotation);
  SkerryIndex index(dim, bits, rotation, seed);
  const uint64_t row = index.row_bytes();
  const bool codes_match = row == 0 ? codes.empty() : codes.size() % row == 0 && codes.size() / row == n;
  if (!codes_match || norms.size() != n) {
    throw Error("stored codes and norms do not match the vector count");
  }
  index.store_ = CodeStore::from_rows(dim, bits, n, codes);
  index.norms_ = std::move(norms);
  index.n_ = n;
  return index;
}

SkerryIndex SkerryIndex::from_mapped(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                     uint64_t n, StoredArray<uint8_t> blocked, StoredArray<float> norms) {
  check_parameters(dim, bits, rotation);
  if (norms.size() != n) throw Error("stored codes and norms do not match the vector count");
  SkerryIndex index(dim, bits, rotation, seed);
  index.store_ = CodeStore::mapped(dim, bits, n, std::move(blocked));
  index.norms_ = std::move(norms);
  index.n_ = n;
  return index;
}

// Caches are rebuilt on demand, so only the stored arrays are copied.
SkerryIndex SkerryIndex::owned_copy() const {
  SkerryIndex copy(dim_, bits_, rotation_, seed_);
  copy.store_ = store_.owned_copy();
  copy.norms_ = norms_.owned_copy();
  copy.n_ = n_;
  return copy;
}

const BlockRotations& SkerryIndex::block_rotations() const {
  return rotations_.get_or_init([&] { return precompute_block_matrices(dim_, rotation_, seed_); });
}

const Codebook& SkerryIndex::full_codebook() const {
  return codebook_.get_or_init([&] { return shared_codebook(bits_, dim_); });
}

const std::vector<float>& SkerryIndex::centroids() const { return full_codebook().centroids; }

std::span<const float> SkerryIndex::sign_vector() const {
  const std::vector<float>& signs = signs_.get_or_init([&] {
    return uses_sign_vector(rotation_) ? make_sign_vector(dim_, seed_ + kSignSeedOffset)
                                       : std::vector<float>{};
  });
  return signs;
}

const BlockedCache& SkerryIndex::blocked_codes() const {
  if (bits_ != 4) throw Error("the 4-bit blocked layout exists for 4-bit indexes only");
  return store_.blocked();
}

void SkerryIndex::add(std::span<const float> vectors) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  if (dim_ == 0) throw Error("attempt to divide by zero");
  const uint64_t m = vectors.size() / dim_;
  if (m * dim_ != vectors.size()) {
    fail_length(": vectors length not a multiple of dim", vectors.size(), m * dim_);
  }
  if (m == 0) return;
  const BlockRotations& rotations = block_rotations();
  std::span<const float> signs = sign_vector();
  const std::vector<float>& boundaries = full_codebook().boundaries;

  const uint64_t old_n = n_;
  const uint64_t row = row_bytes();
  try {
    store_.resize(old_n + m);
    norms_.resize(old_n + m);
    // Chunks are encoded on the worker pool into rows of their own, then
    // written to their lanes of the store (disjoint bytes), so the result is
    // the same whatever the number of threads.
    const uint64_t chunks = (m + kEncodeChunk - 1) / kEncodeChunk;
    // Sized by the batch as well: a few vectors of a large dim need no room
    // for a whole chunk of megabyte rows.
    const uint64_t chunk_rows_held = std::min(kEncodeChunk, m);
    parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
      std::vector<uint8_t> rows(chunk_rows_held * row);
      for (std::size_t chunk = begin; chunk < end; ++chunk) {
        poll_interrupt();
        const uint64_t first = chunk * kEncodeChunk;
        const uint64_t count = std::min(kEncodeChunk, m - first);
        std::span<uint8_t> chunk_rows(rows.data(), count * row);
        encode_into(vectors.subspan(first * dim_, count * dim_), count, dim_, signs,
                    rotations.matrices, block_size(rotation_), rotations.padded_dim, boundaries,
                    bits_, chunk_rows, std::span(norms_).subspan(old_n + first, count));
        store_.write_rows(old_n + first, chunk_rows);
      }
    });
    check_norms_are_finite(std::span(norms_).subspan(old_n, m));
  } catch (...) {
    store_.resize(old_n);
    norms_.resize(old_n);
    throw;
  }
  n_ += m;
}

uint64_t SkerryIndex::swap_remove(uint64_t idx) {
  if (is_mapped()) throw ArgumentError(kMappedReadOnly);
  if (idx >= n_) throw Error("index " + std::to_string(idx) + " out of bounds");
  const uint64_t last = n_ - 1;
  if (idx != last) {
    store_.copy_vector(last, idx);
    norms_[idx] = norms_[last];
  }
  store_.resize(last);
  norms_.resize(last);
  n_ = last;
  return last;
}

void SkerryIndex::prepare() const {
  block_rotations();
  centroids();
}

SearchResults SkerryIndex::search(std::span<const float> queries, uint64_t k) const {
  if (dim_ == 0) throw Error("attempt to divide by zero");
  const uint64_t nq = queries.size() / dim_;
  if (nq * dim_ != queries.size()) fail_length("", queries.size(), nq * dim_);
  if (const auto row = first_unusable_query(queries, dim_)) {
    throw Error("query " + std::to_string(*row) +
                " has a NaN or infinite value, or a norm too large for float32");
  }
  // An empty index answers before its tables are built: they grow with dim.
  if (n_ == 0) {
    SearchResults results;
    results.nq = nq;
    results.k = 1;
    results.scores.assign(nq, -std::numeric_limits<float>::infinity());
    results.indices.assign(nq, -1);
    return results;
  }
  const BlockRotations& rotations = block_rotations();
  const std::vector<float>& centroid_table = centroids();
  std::span<const float> signs = sign_vector();
  const uint64_t effective_k = std::max<uint64_t>(1, std::min(k, n_));
  const uint64_t block = block_size(rotation_);
  if (bits_ == 4) {
    const BlockedCache& cache = blocked_codes();
    std::vector<float> prepared = prepare_queries(queries, nq, dim_, signs, rotations.matrices,
                                                  block, rotations.padded_dim);
    return search_4bit(prepared, nq, dim_, rotations.padded_dim, centroid_table, cache, norms_,
                       n_, effective_k);
  }
  std::vector<float> prepared = prepare_queries(queries, nq, dim_, signs, rotations.matrices, block,
                                                rotations.padded_dim);
  return search_bounded(prepared, nq, dim_, rotations.padded_dim, centroid_table, store_, norms_,
                        effective_k);
}

}  // namespace varnel
