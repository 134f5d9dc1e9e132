// One pick of the budget packer: the payload of a PackedItem.
#pragma once

#include <cstdint>
#include <string>

namespace quibra::budget {

struct PackedRecord {
  std::string symbol_id;
  std::string file;
  double adjusted_score = 0.0;  // after the diversity damping, if any
  double original_score = 0.0;
  std::uint64_t tokens = 0;
};

}  // namespace quibra::budget
