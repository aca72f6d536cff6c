#pragma once
// The caller's float rows of vectors by id: row i holds id i, or the id of
// row i is ids[i] (any order). Used for refine rows and for the original
// vectors of a rebalance; checked as they are read, so that a call costs what
// its ids cost, whatever the number of rows.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "index/id_hash.h"
#include "index/query.h"
#include "runtime/error.h"

namespace varnel {

class RowsById {
 public:
  // How the caller's arguments are named in messages, and what an id that
  // needs a row is doing ("may be returned", "is stored").
  struct Names {
    const char* rows;
    const char* ids;
    const char* needing;
  };

  RowsById(const RefineRows& rows, std::optional<std::span<const uint64_t>> ids, Names names)
      : rows_(rows), by_ids_(ids.has_value()), names_(names) {
    if (!ids) return;
    if (rows.rows != ids->size()) {
      throw ArgumentError(std::string(names.ids) + " has " + std::to_string(ids->size()) + " ids but " +
                          names.rows + " has " + std::to_string(rows.rows) + " rows");
    }
    row_of_id_.reserve(ids->size());
    for (uint64_t row = 0; row < ids->size(); ++row) {
      if (!row_of_id_.emplace((*ids)[row], row).second) {
        throw ArgumentError("id " + std::to_string((*ids)[row]) + " appears more than once in " + names.ids);
      }
    }
  }

  uint64_t row_of(uint64_t id) const {
    if (by_ids_) {
      const auto found = row_of_id_.find(id);
      if (found == row_of_id_.end()) {
        throw ArgumentError("id " + std::to_string(id) + " " + names_.needing + " but is not in " + names_.ids);
      }
      return found->second;
    }
    if (id >= rows_.rows) {
      throw ArgumentError(std::string(names_.rows) + " has " + std::to_string(rows_.rows) + " rows but id " +
                          std::to_string(id) + " " + names_.needing + " (rows are indexed by id)");
    }
    return id;
  }

  const float* row(uint64_t id) const { return rows_.data + row_of(id) * rows_.cols; }

 private:
  const RefineRows& rows_;
  bool by_ids_;
  Names names_;
  IdMap<uint64_t> row_of_id_;
};

}  // namespace varnel
