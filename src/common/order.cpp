#include "common/order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

namespace quibra {
namespace {

// An unsigned key whose ascending order is descending score order, with all
// NaNs last and equal, and -0.0 equal to +0.0.
std::uint64_t descending_key(double score) noexcept {
  constexpr std::uint64_t sign = std::uint64_t{1} << 63;
  if (std::isnan(score)) return ~std::uint64_t{0};
  if (score == 0.0) score = 0.0;
  const auto bits = std::bit_cast<std::uint64_t>(score);
  const std::uint64_t ascending = (bits & sign) ? ~bits : bits | sign;
  return ~ascending;  // ~0 would need a NaN bit pattern
}

}  // namespace

std::vector<std::uint32_t> descending_order(std::span<const double> scores) {
  if (scores.size() >= UINT32_MAX) throw std::length_error("too many scores to order");
  const auto n = static_cast<std::uint32_t>(scores.size());
  std::vector<std::uint32_t> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  if (n < 64) {
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return ranks_before(scores[a], scores[b]);
    });
    return order;
  }

  // Least-significant-digit radix sort over 8-bit digits: each pass is
  // stable, so equal keys keep their input order. Digits on which every key
  // agrees are skipped.
  struct Item {
    std::uint64_t key;
    std::uint32_t index;
  };
  std::vector<Item> items(n), scratch(n);
  std::uint64_t all_and = ~std::uint64_t{0}, all_or = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    items[i] = Item{descending_key(scores[i]), i};
    all_and &= items[i].key;
    all_or |= items[i].key;
  }
  for (int shift = 0; shift < 64; shift += 8) {
    if (((all_and ^ all_or) >> shift & 0xff) == 0) continue;
    std::array<std::uint32_t, 257> start{};
    for (const Item& item : items) ++start[(item.key >> shift & 0xff) + 1];
    for (int d = 0; d < 256; ++d) start[d + 1] += start[d];
    for (const Item& item : items) scratch[start[item.key >> shift & 0xff]++] = item;
    items.swap(scratch);
  }
  for (std::uint32_t i = 0; i < n; ++i) order[i] = items[i].index;
  return order;
}

}  // namespace quibra
