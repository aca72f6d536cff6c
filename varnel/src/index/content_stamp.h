#pragma once
// A number that names one state of an index's contents within this process.
//
// Every index takes a fresh stamp when it is made and whenever it may change
// (add, remove, train); a copy keeps the stamp of what it copied, since it
// holds the same contents. Two indexes with equal stamps therefore hold the
// same vectors at the same positions, so whatever was worked out from one
// state (an IdFilter's positions, say) can be reused until the stamp moves.
// Stamps come from one process-wide counter and are never reused.
#include <cstdint>

namespace varnel {

class ContentStamp {
 public:
  ContentStamp() : value_(next()) {}
  // Called before a change, whether it succeeds or not: a refused change
  // costs the holders of the old stamp only a recomputation.
  void renew() { value_ = next(); }
  uint64_t value() const { return value_; }

 private:
  static uint64_t next();
  uint64_t value_;
};

}  // namespace varnel
