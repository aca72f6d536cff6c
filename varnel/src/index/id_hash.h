#pragma once
// Hashing of caller-chosen ids. The standard hash of an integer is the
// integer itself, so ids that are all multiples of a table's bucket count
// land in one bucket and every lookup walks them all: a file of 100,000
// crafted ids took seconds to load. Ids are mixed here with a key drawn
// once per process, so no caller can choose ids that collide.
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace varnel {

struct IdHash {
  std::size_t operator()(uint64_t id) const noexcept;
};

template <class Value>
using IdMap = std::unordered_map<uint64_t, Value, IdHash>;
using IdSet = std::unordered_set<uint64_t, IdHash>;

}  // namespace varnel
