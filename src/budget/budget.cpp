#include "budget/budget.hpp"

#include <algorithm>
#include <cstddef>

#include "common/order.hpp"
#include "common/string_index.hpp"

namespace quibra::budget {
namespace {

// The damping factor of a candidate whose file already has n picks,
// 1 / (1 + 0.5 n). The factor is rounded on its own before it multiplies the
// score, so the table holds exactly the quotients.
constexpr double damping[max_picks_per_file] = {
    1.0 / (1.0 + 0.5 * 0),  // 1.0
    1.0 / (1.0 + 0.5 * 1),  // 1/1.5
    1.0 / (1.0 + 0.5 * 2),  // 0.5
};

// The highest adjusted score a candidate can ever reach. Damping multiplies by
// a factor in [0.5, 1], which pulls a negative score up towards zero, so a
// negative score is best off at the strongest damping. Rounding is monotone,
// so the computed products obey the same bound. The bound grows with the
// score, which lets a scan in descending score order stop at the first
// candidate whose bound cannot beat the best adjusted score found so far.
constexpr double reachable(double score, bool diversity) noexcept {
  return diversity && score < 0.0 ? score * damping[max_picks_per_file - 1] : score;
}

// A candidate in the scan order, with its file as a dense number so that the
// per-file pick count is an array lookup rather than a hash probe.
struct Entry {
  double score;
  std::uint64_t tokens;
  std::uint32_t file;
  std::size_t candidate;
};

}  // namespace

Packing pack_budget(std::span<const BudgetCandidate> candidates, std::uint64_t token_budget,
                    bool diversity) {
  const std::size_t count = candidates.size();

  std::vector<std::uint8_t> picks_of_file;
  std::vector<Entry> order;
  order.reserve(count);
  {
    StringIndex files(diversity ? count : 0);
    for (std::size_t i = 0; i < count; ++i) {
      const BudgetCandidate& c = candidates[i];
      const std::uint32_t file = diversity ? files.insert(c.file).first : 0;
      order.push_back(Entry{c.score, c.tokens, file, i});
    }
    picks_of_file.assign(diversity ? files.size() : 0, 0);
  }
  // Equal scores keep the input order; NaN scores go last.
  std::stable_sort(order.begin(), order.end(),
                   [](const Entry& a, const Entry& b) { return ranks_before(a.score, b.score); });

  // The candidates still in play, as a list linked through `next` in scan
  // order. A candidate leaves it when picked, and also as soon as it can
  // never be picked again: the free budget only shrinks and pick counts only
  // grow. Slot `count` holds the head and doubles as the end mark.
  const std::size_t end = count;
  std::vector<std::size_t> next(count + 1);
  for (std::size_t i = 0; i <= count; ++i) next[i] = i + 1;
  next[end] = count == 0 ? end : 0;

  Packing packing;
  while (packing.total_tokens < token_budget) {
    const std::uint64_t free_tokens = token_budget - packing.total_tokens;
    double best = -1.0;
    std::size_t chosen = end;
    std::size_t before_chosen = end;

    std::size_t prev = end;
    for (std::size_t at = next[end]; at != end;) {
      const Entry& e = order[at];
      // Nothing from here on can beat `best`; also ends the scan at the NaNs.
      if (!(reachable(e.score, diversity) > best)) break;
      if (e.tokens > free_tokens || (diversity && picks_of_file[e.file] >= max_picks_per_file)) {
        at = next[prev] = next[at];
        continue;
      }
      const double adjusted = diversity ? e.score * damping[picks_of_file[e.file]] : e.score;
      if (adjusted > best) {
        best = adjusted;
        chosen = at;
        before_chosen = prev;
      }
      prev = at;
      at = next[at];
    }
    if (chosen == end) break;

    next[before_chosen] = next[chosen];
    const Entry& pick = order[chosen];
    if (diversity) ++picks_of_file[pick.file];
    const BudgetCandidate& c = candidates[pick.candidate];
    packing.packed.push_back(
        PackedRecord{std::string(c.id), std::string(c.file), best, c.score, c.tokens});
    // Cannot overflow: the pick fits into the free budget.
    packing.total_tokens += c.tokens;
  }
  return packing;
}

}  // namespace quibra::budget
