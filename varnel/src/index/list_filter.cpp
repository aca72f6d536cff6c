#include "index/list_filter.h"

#include "index/partitioned_index.h"
#include "runtime/interrupt.h"

namespace varnel {

ListFilter ListFilter::from_ids(const PartitionedIndex& index, std::span<const uint64_t> ids) {
  ListFilter filter;
  filter.stamp_ = index.stamp();
  const uint64_t lists = index.lists();
  filter.first_word_.resize(lists + 1);
  filter.counts_.assign(lists, 0);
  uint64_t words = 0;
  for (uint64_t l = 0; l < lists; ++l) {
    filter.first_word_[l] = words;
    words += (index.list_data()[l].ids.size() + 31) / 32;
  }
  filter.first_word_[lists] = words;
  filter.words_.assign(words, 0u);
  uint64_t seen = 0;
  for (const uint64_t id : ids) {
    if ((++seen & 0xffff) == 0) poll_interrupt();
    uint64_t l = 0, position = 0;
    if (!index.locate(id, &l, &position)) continue;
    uint32_t& word = filter.words_[filter.first_word_[l] + position / 32];
    const uint32_t bit = uint32_t{1} << (position % 32);
    if (word & bit) continue;
    word |= bit;
    ++filter.counts_[l];
    ++filter.total_;
  }
  for (uint64_t l = 0; l < lists; ++l) {
    if (filter.counts_[l] > 0) filter.nonempty_.push_back(static_cast<uint32_t>(l));
  }
  return filter;
}

}  // namespace varnel
