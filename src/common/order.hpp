// Ordering of 64-bit float scores for the ranked outputs.
#pragma once

#include <cmath>

namespace quibra {

// "a ranks before b": a strict weak order for std::stable_sort that sorts
// descending and places NaN after every number (NaNs compare equal to each
// other). A plain `a > b` is not a strict weak order once NaN appears, and
// sorting with it is undefined behaviour. Every element still precedes all
// elements with a smaller score.
constexpr bool ranks_before(double a, double b) noexcept {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}

}  // namespace quibra

#include <cstdint>
#include <span>
#include <vector>

namespace quibra {

// The permutation that orders `scores` as ranks_before does, equal scores
// (and all NaNs) keeping their input order: the stable descending order.
// A radix sort on the scores' bit patterns, O(n).
std::vector<std::uint32_t> descending_order(std::span<const double> scores);

}  // namespace quibra
