#include "budget/budget.hpp"

#include <cstddef>
#include <functional>
#include <queue>

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

// A candidate in scan order, with its file as a dense number so that the
// per-file pick count is an array lookup rather than a hash probe.
struct Entry {
  double score;
  std::uint64_t tokens;
  std::uint32_t file;
  std::size_t candidate;
};

// Scan positions, smallest first.
using Queue = std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>>;

}  // namespace

// The greedy rule is: scan the candidates by descending score (input order
// among equals) and pick the first one with the highest adjusted score that
// fits and whose file has fewer than three picks. It is computed here
// without rescanning everything per pick.
//
// Group the candidates into levels by the pick count n of their file (with
// diversity off there is only level 0). Within a level every candidate is
// damped by the same factor, and multiplying by a positive factor never
// reverses the order of two scores (rounding is monotone; it may only make
// them equal), so the first candidate of a level in scan order that is still
// open has that level's highest adjusted score, and comes first among the
// level's equals. The pick is the
// best of these at most three level heads, equal adjusted scores going to
// the earlier scan position.
//
// A candidate that is picked or no longer fits (the free budget only
// shrinks) is closed for good, and so is a level for a file that has moved
// past it. Level 0 only ever loses candidates, so its head is a cursor that
// moves forward. Levels 1 and 2 are queues of scan positions: when a file
// gains a pick, its open candidates enter the next level's queue, and closed
// ones are dropped when they reach the head. Each candidate enters at most
// two queues, so a whole packing costs O(n log n).
Packing pack_budget(std::span<const BudgetCandidate> candidates, std::uint64_t token_budget,
                    bool diversity) {
  const std::size_t count = candidates.size();

  // Scan order: descending score, equal scores in input order, NaN last.
  std::vector<double> scores;
  scores.reserve(count);
  for (const BudgetCandidate& c : candidates) scores.push_back(c.score);
  std::vector<Entry> order;
  order.reserve(count);
  StringIndex files(diversity ? count : 0);
  for (const std::uint32_t i : descending_order(scores)) {
    const BudgetCandidate& c = candidates[i];
    const std::uint32_t file = diversity ? files.insert(c.file).first : 0;
    order.push_back(Entry{c.score, c.tokens, file, i});
  }

  // The scan positions of each file's candidates, ascending: positions
  // [file_start[f], file_start[f + 1]) of `by_file`.
  const std::size_t file_count = files.size();
  std::vector<std::size_t> file_start(file_count + 1, 0);
  std::vector<std::size_t> by_file(diversity ? count : 0);
  if (diversity) {
    for (const Entry& e : order) ++file_start[e.file + 1];
    for (std::size_t f = 0; f < file_count; ++f) file_start[f + 1] += file_start[f];
    std::vector<std::size_t> next_slot(file_start.begin(), file_start.end() - 1);
    for (std::size_t at = 0; at < count; ++at) by_file[next_slot[order[at].file]++] = at;
  }
  std::vector<std::uint8_t> picks_of_file(file_count, 0);
  std::vector<bool> picked(count, false);
  std::size_t level_0_head = 0;
  Queue damped_levels[max_picks_per_file - 1];  // levels 1 and 2

  Packing packing;
  while (packing.total_tokens < token_budget) {
    const std::uint64_t free_tokens = token_budget - packing.total_tokens;
    auto open = [&](std::size_t at, std::size_t level) {
      const Entry& e = order[at];
      return !picked[at] && e.tokens <= free_tokens &&
             (!diversity || picks_of_file[e.file] == level);
    };

    // A candidate wins only with an adjusted score above -1.0; NaN never wins.
    double best = -1.0;
    std::size_t chosen = count;
    auto consider = [&](std::size_t at, std::size_t level) {
      const double adjusted = order[at].score * damping[level];
      if (adjusted > best || (adjusted == best && chosen != count && at < chosen)) {
        best = adjusted;
        chosen = at;
      }
    };
    while (level_0_head < count && !open(level_0_head, 0)) ++level_0_head;
    if (level_0_head < count) consider(level_0_head, 0);
    if (diversity) {
      for (std::size_t level = 1; level < max_picks_per_file; ++level) {
        Queue& queue = damped_levels[level - 1];
        while (!queue.empty() && !open(queue.top(), level)) queue.pop();
        if (!queue.empty()) consider(queue.top(), level);
      }
    }
    if (chosen == count) break;

    const Entry& pick = order[chosen];
    picked[chosen] = true;
    // Cannot overflow: the pick fits into the free budget.
    packing.total_tokens += pick.tokens;
    const BudgetCandidate& c = candidates[pick.candidate];
    packing.packed.push_back(
        PackedRecord{std::string(c.id), std::string(c.file), best, c.score, c.tokens});

    if (diversity) {
      const std::size_t level = ++picks_of_file[pick.file];
      if (level < max_picks_per_file) {
        for (std::size_t i = file_start[pick.file]; i < file_start[pick.file + 1]; ++i) {
          const std::size_t at = by_file[i];
          if (!picked[at] && order[at].tokens <= token_budget - packing.total_tokens) {
            damped_levels[level - 1].push(at);
          }
        }
      }
    }
  }
  return packing;
}

}  // namespace quibra::budget
