#pragma once
// The top-k selector that every scan feeds, in position order.
#include <cstdint>
#include <mutex>
#include <vector>

namespace varnel {

struct Candidate {
  float score;
  uint64_t pos;
};

// Keeps the best K candidates offered in position order. Once the list is
// full, a candidate enters only with a score strictly above the smallest kept
// one, so of equal scores the earlier position stays. NaN ranks below every
// number: it never enters a full list and is the first to be replaced.
class TopK {
 public:
  explicit TopK(uint64_t k);
  void offer(float score, uint64_t pos);
  // Whether offer(score, ...) could change the list.
  bool admits(float score) const { return list_.size() < k_ || ranks_below(list_.front().score, score); }
  // When the list is full and its smallest score is a number, exactly the
  // scores strictly above threshold() are admitted.
  bool has_plain_threshold() const { return list_.size() == k_ && list_.front().score == list_.front().score; }
  float threshold() const { return list_.front().score; }
  uint64_t k() const { return k_; }
  bool empty() const { return list_.empty(); }
  // Completes the list with (-inf, -1) and writes it best first.
  void finish(float* scores_out, int64_t* indices_out);

  // The strict order used everywhere: numbers as usual, NaN below all.
  static bool ranks_below(float a, float b) { return a < b || (a != a && b == b); }

 private:
  void sort_ascending();
  void sift_up_from_front();
  std::vector<Candidate> list_;
  uint64_t k_;
};

// A selector's kept list (finish() output: count slots, position -1 for an
// empty one) appended to `kept`.
void append_kept(const float* scores, const int64_t* positions, uint64_t count,
                 std::vector<Candidate>& kept);

// Offers `kept`, the lists of several selectors that each saw a disjoint
// range of positions in order, to `top` in position order. `top` then holds
// what one selector offered every position of those ranges would: it keeps
// the k best in a total order (score, then the earlier position), and the k
// best of a union are among the k best of its parts. Reorders `kept`.
void offer_kept(TopK& top, std::vector<Candidate>& kept);

// One search split into shares that threads scan into selectors of their
// own (each share a disjoint range of positions, offered in order): their
// kept lists, merged so that the result is that of one selector over all.
class SplitTopK {
 public:
  // The best of one share; safe to call from several threads.
  void add(TopK& part);
  // What one selector offered every share's positions would hold (offer_kept).
  void merge_into(TopK& top);

 private:
  std::mutex mutex_;
  std::vector<Candidate> kept_;
};

// Offers scores[i] for positions first .. first + count - 1, in order,
// skipping cheaply the ones that cannot enter.
void offer_scores(TopK& top, const float* scores, uint64_t first, uint64_t count);

// Offers scores[i] for positions first .. first + count - 1 to an empty selector, which
// then keeps the candidates offer_scores would leave (finish() may order
// equal scores differently: it orders them by the history of offers). For a selector much smaller than
// `count`: the k-th best of the maxima of groups of 16 scores bounds the
// k-th best score from below (k groups each hold a score at least that
// good), so only scores not below it are offered.
void offer_best_scores(TopK& top, const float* scores, uint64_t first, uint64_t count);

}  // namespace varnel
