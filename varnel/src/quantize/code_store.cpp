#include "quantize/code_store.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/error.h"

namespace varnel {

CodeStore CodeStore::from_rows(uint64_t dim, uint64_t bits, uint64_t n, std::span<const uint8_t> rows) {
  CodeStore store(dim, bits);
  if (rows.size() != n * store.row_bytes()) throw Error("stored codes do not match the vector count");
  store.resize(n);
  store.write_rows(0, rows);
  return store;
}

CodeStore CodeStore::mapped(uint64_t dim, uint64_t bits, uint64_t n, StoredArray<uint8_t> blocked) {
  CodeStore store(dim, bits);
  const uint64_t blocks = blocks_for(n);
  // Compared by division first: blocks * block_bytes may not fit 64 bits.
  if (store.block_bytes() == 0 || blocked.size() / store.block_bytes() != blocks ||
      blocked.size() % store.block_bytes() != 0) {
    throw Error("mapped codes do not match the vector count");
  }
  store.blocked_.bytes = std::move(blocked);
  store.blocked_.n_blocks = blocks;
  store.n_ = n;
  // Scans read whole blocks: a lane past n that is not zero would score as
  // a vector of its own.
  const uint64_t end = blocks * kLanes;
  for (uint64_t p = n; p < end; ++p) {
    const uint8_t* bytes = std::as_const(store).lane(p);
    for (uint64_t c = 0; c < store.row_bytes(); ++c) {
      if (bytes[c * kLanes] != 0) throw Error("mapped codes hold values past the last vector");
    }
  }
  return store;
}

CodeStore CodeStore::with_compact_tail(uint64_t dim, uint64_t bits) {
  CodeStore store(dim, bits);
  store.compact_tail_ = true;
  return store;
}

CodeStore CodeStore::compacted() const {
  CodeStore copy = with_compact_tail(dim_, bits_);
  copy.resize(n_);
  if (row_bytes() == 0) return copy;
  const uint64_t whole = n_ / kLanes * block_bytes();
  std::copy_n(blocked_.bytes.data(), whole, copy.blocked_.bytes.data());
  std::vector<uint8_t> lanes((n_ % kLanes) * row_bytes());
  gather_lanes(n_ / kLanes * kLanes, n_, lanes.data());
  copy.scatter_lanes(n_ / kLanes * kLanes, n_, lanes.data());
  return copy;
}

void CodeStore::tail_block(uint8_t* out) const {
  const uint64_t m = tail_size(), columns = row_bytes();
  const uint8_t* tail = blocked_.bytes.data() + n_ / kLanes * block_bytes();
  const uint64_t tail_bytes = m * columns;
  // Each column is one 32-byte load whose lanes past m (the next columns'
  // bytes) are masked off. The columns starting in the tail's last 32 bytes
  // load from a copy of those bytes with room behind.
  const uint64_t direct = tail_bytes >= kLanes ? std::min(columns, (tail_bytes - kLanes) / m + 1) : 0;
  uint8_t mask[kLanes];
  for (uint64_t v = 0; v < kLanes; ++v) mask[v] = v < m ? 0xff : 0;
  auto put = [&](uint64_t c, const uint8_t* source) {
    uint8_t loaded[kLanes];
    std::memcpy(loaded, source, kLanes);
    for (uint64_t v = 0; v < kLanes; ++v) out[c * kLanes + v] = loaded[v] & mask[v];
  };
  for (uint64_t c = 0; c < direct; ++c) put(c, tail + c * m);
  if (direct == columns) return;
  uint8_t last[3 * kLanes] = {};
  const uint64_t from = direct * m;
  std::memcpy(last, tail + from, tail_bytes - from);
  for (uint64_t c = direct; c < columns; ++c) put(c, last + (c * m - from));
}

void CodeStore::gather_lanes(uint64_t first, uint64_t last, uint8_t* out) const {
  const uint64_t row = row_bytes();
  for (uint64_t p = first; p < last; ++p) {
    const uint8_t* source = lane(p);
    const uint64_t stride = column_stride(p);
    for (uint64_t c = 0; c < row; ++c) out[(p - first) * row + c] = source[c * stride];
  }
}

void CodeStore::scatter_lanes(uint64_t first, uint64_t last, const uint8_t* in) {
  const uint64_t row = row_bytes();
  for (uint64_t p = first; p < last; ++p) {
    uint8_t* target = lane(p);
    const uint64_t stride = column_stride(p);
    for (uint64_t c = 0; c < row; ++c) target[c * stride] = in[(p - first) * row + c];
  }
}

// Vectors below both sizes' whole blocks keep their bytes. The others that
// stay (at most 31, all in block `kept / 32`) change only the stride of
// their columns: growing widens it (the array grows first, columns move from
// the last), shrinking narrows it (columns move from the first, then the
// array shrinks), so every column's move stays clear of those still to come.
void CodeStore::resize_compact(uint64_t n) {
  const uint64_t kept = std::min(n_, n);
  const uint64_t block = kept / kLanes;
  const uint64_t lanes = kept % kLanes;
  const uint64_t old_stride = column_stride(block * kLanes);
  const uint64_t new_stride = n / kLanes > block ? kLanes : n % kLanes;
  const uint64_t columns = row_bytes();
  auto move_column = [&](uint64_t c) {
    uint8_t* base = blocked_.bytes.data() + block * block_bytes();
    std::memmove(base + c * new_stride, base + c * old_stride, lanes);
  };
  if (lanes > 0 && new_stride > old_stride) {
    blocked_.bytes.resize(bytes_for(n));
    for (uint64_t c = columns; c-- > 0;) move_column(c);
  } else {
    if (lanes > 0 && new_stride < old_stride) {
      for (uint64_t c = 0; c < columns; ++c) move_column(c);
    }
    blocked_.bytes.resize(bytes_for(n));
  }
  blocked_.n_blocks = n / kLanes;
  n_ = n;
}

CodeStore CodeStore::owned_copy() const {
  CodeStore copy = *this;
  copy.blocked_.bytes = blocked_.bytes.owned_copy();
  return copy;
}

void CodeStore::resize(uint64_t n) {
  if (compact_tail_) {
    resize_compact(n);
    return;
  }
  const uint64_t blocks = blocks_for(n);
  blocked_.bytes.resize(blocks * block_bytes());
  blocked_.n_blocks = blocks;
  n_ = n;
  clear_lanes_from(n);
}

void CodeStore::clear_lanes_from(uint64_t position) {
  const uint64_t end = blocked_.n_blocks * kLanes;
  const uint64_t columns = row_bytes();
  for (uint64_t p = position; p < end; ++p) {
    uint8_t* bytes = lane(p);
    for (uint64_t c = 0; c < columns; ++c) bytes[c * kLanes] = 0;
  }
}

// Rows go through codes to lane bytes, then to their lanes 32 bytes apart:
// within one block every store lands in a few kilobytes.
void CodeStore::write_rows(uint64_t first, std::span<const uint8_t> rows) {
  const uint64_t row = row_bytes();
  if (row == 0) return;
  const uint64_t count = rows.size() / row;
  if (count * row != rows.size() || first > n_ || count > n_ - first) {
    throw Error("code rows do not fit the store");
  }
  std::vector<uint8_t> codes(dim_), bytes(row);
  for (uint64_t i = 0; i < count; ++i) {
    unpack_row(rows.subspan(i * row, row), dim_, bits_, codes);
    codes_to_lane_bytes(codes.data(), dim_, bits_, bytes.data());
    uint8_t* target = lane(first + i);
    const uint64_t stride = column_stride(first + i);
    for (uint64_t c = 0; c < row; ++c) target[c * stride] = bytes[c];
  }
}

void CodeStore::read_rows(uint64_t first, uint64_t count, std::span<uint8_t> out) const {
  const uint64_t row = row_bytes();
  if (first > n_ || count > n_ - first || out.size() < count * row) {
    throw Error("code rows requested beyond the store");
  }
  std::vector<uint8_t> codes(dim_);
  for (uint64_t i = 0; i < count; ++i) {
    decode(first + i, codes.data());
    std::vector<uint8_t> packed = pack_codes(codes, 1, dim_, bits_);
    std::copy(packed.begin(), packed.end(), out.begin() + i * row);
  }
}

RawVector<uint8_t> CodeStore::rows() const {
  RawVector<uint8_t> out(n_ * row_bytes());
  read_rows(0, n_, out);
  return out;
}

void CodeStore::decode(uint64_t position, uint8_t* codes) const {
  const uint64_t row = row_bytes();
  uint8_t bytes[4 * 4096];
  std::vector<uint8_t> large;
  uint8_t* gathered = bytes;
  if (row > sizeof bytes) {
    large.resize(row);
    gathered = large.data();
  }
  const uint8_t* source = lane(position);
  const uint64_t stride = column_stride(position);
  for (uint64_t c = 0; c < row; ++c) gathered[c] = source[c * stride];
  lane_bytes_to_codes(gathered, dim_, bits_, codes);
}

void CodeStore::copy_vector(uint64_t from, uint64_t to) {
  const uint8_t* source = lane(from);
  uint8_t* target = lane(to);
  const uint64_t from_stride = column_stride(from), to_stride = column_stride(to);
  for (uint64_t c = 0; c < row_bytes(); ++c) target[c * to_stride] = source[c * from_stride];
}

}  // namespace varnel
