#include "search/top_k.h"

#include <algorithm>
#include <bit>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel {
namespace {

constexpr uint64_t kInsertionSortLimit = 20;

// The order of the heap and the final sort for long lists: by score, and of
// equal scores the earlier position first. A total order makes the kept set
// and its order independent of the standard library's heap and sort, so every
// build and platform returns the same ties.
bool ranks_above(const Candidate& a, const Candidate& b) {
  if (TopK::ranks_below(b.score, a.score)) return true;
  if (TopK::ranks_below(a.score, b.score)) return false;
  return a.pos < b.pos;
}

float negative_infinity() { return -std::numeric_limits<float>::infinity(); }

}  // namespace

TopK::TopK(uint64_t k) : k_(k) { list_.reserve(k); }

// Insertion sort moves an entry only past strictly greater ones, so equal
// scores keep their order; larger lists use a min-heap instead.
void TopK::sort_ascending() {
  if (k_ <= kInsertionSortLimit) {
    for (std::size_t i = 1; i < list_.size(); ++i) {
      for (std::size_t j = i; j > 0 && ranks_below(list_[j].score, list_[j - 1].score); --j) {
        std::swap(list_[j], list_[j - 1]);
      }
    }
  } else {
    std::make_heap(list_.begin(), list_.end(), ranks_above);
  }
}

void TopK::sift_up_from_front() {
  if (k_ <= kInsertionSortLimit) {
    for (std::size_t i = 0; i + 1 < list_.size() && ranks_below(list_[i + 1].score, list_[i].score); ++i) {
      std::swap(list_[i], list_[i + 1]);
    }
  } else {
    std::pop_heap(list_.begin(), list_.end(), ranks_above);
    std::push_heap(list_.begin(), list_.end(), ranks_above);
  }
}

void TopK::offer(float score, uint64_t pos) {
  if (list_.size() < k_) {
    list_.push_back({score, pos});
    if (list_.size() == k_ && k_ >= 2) sort_ascending();
    return;
  }
  if (!ranks_below(list_.front().score, score)) return;
  list_.front() = {score, pos};
  sift_up_from_front();
}

void TopK::finish(float* scores_out, int64_t* indices_out) {
  while (list_.size() < k_) list_.push_back({negative_infinity(), ~uint64_t{0}});
  if (k_ <= kInsertionSortLimit) {
    for (std::size_t i = 1; i < list_.size(); ++i) {
      for (std::size_t j = i; j > 0 && ranks_below(list_[j - 1].score, list_[j].score); --j) {
        std::swap(list_[j], list_[j - 1]);
      }
    }
  } else {
    std::sort(list_.begin(), list_.end(), ranks_above);
  }
  for (std::size_t r = 0; r < list_.size(); ++r) {
    scores_out[r] = list_[r].score;
    indices_out[r] = static_cast<int64_t>(list_[r].pos);
  }
}

// The largest number among 16 scores; NaN is skipped (it never enters a full
// list), so the result is exact whichever order the maxima are taken in.
float largest_number(const float* scores) {
#if defined(__SSE2__)
  __m128 m0 = _mm_set1_ps(-std::numeric_limits<float>::infinity()), m1 = m0;
  // maxps returns its second operand when the first is NaN.
  m0 = _mm_max_ps(_mm_loadu_ps(scores), m0);
  m1 = _mm_max_ps(_mm_loadu_ps(scores + 4), m1);
  m0 = _mm_max_ps(_mm_loadu_ps(scores + 8), m0);
  m1 = _mm_max_ps(_mm_loadu_ps(scores + 12), m1);
  m0 = _mm_max_ps(m0, m1);
  m0 = _mm_max_ps(m0, _mm_movehl_ps(m0, m0));
  m0 = _mm_max_ss(m0, _mm_shuffle_ps(m0, m0, 1));
  return _mm_cvtss_f32(m0);
#else
  float largest = -std::numeric_limits<float>::infinity();
  for (int l = 0; l < 16; ++l) largest = scores[l] > largest ? scores[l] : largest;
  return largest;
#endif
}

// Bit i set where scores[i] >= bound (never for NaN), for 16 scores.
unsigned at_least(const float* scores, float bound) {
#if defined(__SSE2__)
  const __m128 b = _mm_set1_ps(bound);
  unsigned mask = 0;
  for (int part = 0; part < 4; ++part) {
    mask |= unsigned(_mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(scores + 4 * part), b))) << (4 * part);
  }
  return mask;
#else
  unsigned mask = 0;
  for (int l = 0; l < 16; ++l) mask |= unsigned(scores[l] >= bound) << l;
  return mask;
#endif
}

// Once the list is full, almost every score falls at or below its smallest
// entry; a branch-free comparison of 16 scores at a time skips those groups
// without offering them one by one.
void offer_scores(TopK& top, const float* scores, uint64_t first, uint64_t count) {
  constexpr uint64_t kGroup = 16;
  uint64_t i = 0;
  for (; i < count && !top.has_plain_threshold(); ++i) {
    if (top.admits(scores[i])) top.offer(scores[i], first + i);
  }
  for (; i + kGroup <= count; i += kGroup) {
    if (!(largest_number(scores + i) > top.threshold())) continue;
    for (uint64_t l = i; l < i + kGroup; ++l) {
      if (top.admits(scores[l])) top.offer(scores[l], first + l);
    }
  }
  for (; i < count; ++i) {
    if (top.admits(scores[i])) top.offer(scores[i], first + i);
  }
}

namespace {

// The k-th largest of `values` (numbers or -inf, k <= their count), kept in
// an ascending array that most values fail to enter: far fewer mispredicted
// branches than a quickselect over a few hundred values.
float kth_largest(const std::vector<float>& values, uint64_t k) {
  std::vector<float> best(values.begin(), values.begin() + k);
  std::sort(best.begin(), best.end());
  for (uint64_t i = k; i < values.size(); ++i) {
    const float v = values[i];
    if (!(v > best[0])) continue;
    uint64_t at = 0;
    for (; at + 1 < k && best[at + 1] < v; ++at) best[at] = best[at + 1];
    best[at] = v;
  }
  return best[0];
}

}  // namespace

void offer_best_scores(TopK& top, const float* scores, uint64_t first, uint64_t count) {
  constexpr uint64_t kGroup = 16;
  const uint64_t groups = count / kGroup;
  if (groups <= top.k()) {
    offer_scores(top, scores, first, count);
    return;
  }
  std::vector<float> maxima(groups);
  for (uint64_t g = 0; g < groups; ++g) maxima[g] = largest_number(scores + g * kGroup);
  const float bound = kth_largest(maxima, top.k());
  if (!(bound > negative_infinity())) {  // the k best may hold -inf or NaN: offer them all
    offer_scores(top, scores, first, count);
    return;
  }
  for (uint64_t g = 0; g < groups; ++g) {
    if (!(maxima[g] >= bound)) continue;
    for (unsigned mask = at_least(scores + g * kGroup, bound); mask != 0; mask &= mask - 1) {
      const uint64_t i = g * kGroup + uint64_t(std::countr_zero(mask));
      if (top.admits(scores[i])) top.offer(scores[i], first + i);
    }
  }
  for (uint64_t i = groups * kGroup; i < count; ++i) {  // the scores past the last whole group
    if (scores[i] >= bound && top.admits(scores[i])) top.offer(scores[i], first + i);
  }
}

void append_kept(const float* scores, const int64_t* positions, uint64_t count,
                 std::vector<Candidate>& kept) {
  for (uint64_t i = 0; i < count; ++i) {
    if (positions[i] >= 0) kept.push_back({scores[i], static_cast<uint64_t>(positions[i])});
  }
}

void SplitTopK::add(TopK& part) {
  std::vector<float> scores(part.k());
  std::vector<int64_t> positions(part.k());
  part.finish(scores.data(), positions.data());
  const std::lock_guard<std::mutex> lock(mutex_);
  append_kept(scores.data(), positions.data(), part.k(), kept_);
}

void SplitTopK::merge_into(TopK& top) { offer_kept(top, kept_); }

void offer_kept(TopK& top, std::vector<Candidate>& kept) {
  std::sort(kept.begin(), kept.end(), [](const Candidate& a, const Candidate& b) { return a.pos < b.pos; });
  for (const Candidate& candidate : kept) {
    if (top.admits(candidate.score)) top.offer(candidate.score, candidate.pos);
  }
}

}  // namespace varnel
