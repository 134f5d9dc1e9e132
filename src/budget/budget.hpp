// Greedy packing of scored candidates into a hard token budget, with a
// per-file diversity penalty.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "budget/packed_record.hpp"

namespace quibra::budget {

// One candidate. The texts are views whose bytes the caller keeps alive for
// the call; the packed records own copies.
struct BudgetCandidate {
  std::string_view id;    // empty when the candidate has no id
  std::string_view file;  // empty when the candidate has no file
  double score = 0.0;
  std::uint64_t tokens = 1;  // the reader drops candidates that cost nothing
};

struct Packing {
  std::vector<PackedRecord> packed;  // in pick order
  std::uint64_t total_tokens = 0;    // never above the budget
};

// A file contributes at most this many picks when diversity is on.
inline constexpr std::uint32_t max_picks_per_file = 3;

// At every step, takes the candidate with the highest adjusted score among
// those that still fit; ties go to the higher original score, then to the
// earlier candidate. With `diversity`, the n-th further pick from a file has
// its score multiplied by 1 / (1 + 0.5 n). A candidate whose adjusted score
// is -1.0 or lower, or NaN, is never packed.
Packing pack_budget(std::span<const BudgetCandidate> candidates, std::uint64_t token_budget,
                    bool diversity);

}  // namespace quibra::budget
