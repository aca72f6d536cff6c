#pragma once
// Index files: "VNIX" (SkerryIndex) and "VNIM" (IdMapIndex), version 2,
// little-endian, sharing one core section. All failures throw varnel::IoError.
#include <cstdint>
#include <string>

#include "id_map.h"
#include "lib.h"

namespace varnel {

void write_index(const SkerryIndex& index, const std::string& path);
SkerryIndex load_index(const std::string& path);
void write_id_map(const IdMapIndex& index, const std::string& path);
IdMapIndex load_id_map(const std::string& path);

}  // namespace varnel
