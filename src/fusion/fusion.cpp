#include "fusion/fusion.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/order.hpp"
#include "common/string_index.hpp"

namespace quibra::fusion {
namespace {

// The call's weight table: the built-in weights, then the overrides written
// over them (replacing an entry of the same name or adding a new one).
class WeightTable {
 public:
  explicit WeightTable(std::span<const WeightOverride> overrides)
      : names_(std::size(builtin_weights) + overrides.size()) {
    for (const BuiltinWeight& entry : builtin_weights) set(entry.channel, entry.weight);
    for (const WeightOverride& entry : overrides) set(entry.channel, entry.weight);
  }

  double lookup(std::string_view channel) const noexcept {
    const std::uint32_t at = names_.find(channel);
    return at == StringIndex::npos ? fallback_weight : weights_[at];
  }

 private:
  void set(std::string_view channel, double weight) {
    const auto [at, inserted] = names_.insert(channel);
    if (inserted) {
      weights_.push_back(weight);
    } else {
      weights_[at] = weight;
    }
  }

  StringIndex names_;
  std::vector<double> weights_;
};

// An explicit weight of exactly 1.0 counts as "not given": the table decides.
// Any other weight, NaN included, is the channel's own.
double effective_weight(const Channel& channel, const WeightTable& table) noexcept {
  return channel.weight == 1.0 ? table.lookup(channel.name) : channel.weight;
}

// One appearance of an id. Appearances of the same id are chained in
// channel order through `next`.
struct Appearance {
  std::uint32_t next;
  std::uint32_t channel;
  double contribution;
  std::uint64_t rank;
};

constexpr std::uint32_t end_of_chain = UINT32_MAX;

struct Accumulator {
  double score;
  std::uint32_t first;  // chain of this id's appearances
  std::uint32_t last;
};

std::uint32_t checked_index(std::size_t count) {
  if (count >= UINT32_MAX) throw std::length_error("too many symbol ids to fuse");
  return static_cast<std::uint32_t>(count);
}

}  // namespace

Fusion fuse(std::span<const Channel> channels, double smoothing,
            std::span<const WeightOverride> overrides) {
  const WeightTable table(overrides);
  Fusion fusion;
  std::size_t occurrences = 0;
  for (const Channel& channel : channels) occurrences += channel.ranked_ids.size();
  checked_index(occurrences);

  // Pass 1, in channel order: the score sums (whose order of additions is
  // the channels' order, then rank order) and a chained log of every
  // appearance; the hot loop touches only the index and one small record
  // per id. The per-channel breakdown is settled from the log afterwards.
  StringIndex ids(occurrences);
  StringIndex names(channels.size());
  std::vector<Accumulator> accumulators;
  std::vector<Appearance> log;
  log.reserve(occurrences);
  for (const Channel& channel : channels) {
    const double weight = effective_weight(channel, table);
    const std::uint32_t name = names.insert(channel.name).first;
    std::uint64_t rank = 0;
    for (const RankedId& id : channel.ranked_ids) {
      ++rank;
      const double contribution = weight / (static_cast<double>(rank) + smoothing);
      const auto at = static_cast<std::uint32_t>(log.size());
      log.push_back(Appearance{end_of_chain, name, contribution, rank});
      const auto [record, inserted] = ids.insert(id.text, id.hash);
      if (inserted) {
        accumulators.push_back(Accumulator{0.0 + contribution, at, at});  // -0.0 sums to +0.0
      } else {
        Accumulator& accumulator = accumulators[record];
        accumulator.score += contribution;
        log[accumulator.last].next = at;
        accumulator.last = at;
      }
    }
  }
  fusion.channel_names = names.keys();
  const std::uint32_t record_count = checked_index(accumulators.size());

  // Pass 2: per id, one entry per channel name, holding the last
  // appearance's values, names in the order they first appear.
  std::vector<FusedRecord> records(record_count);
  std::vector<double> scores(record_count);
  for (std::uint32_t r = 0; r < record_count; ++r) {
    const auto first = static_cast<std::uint32_t>(fusion.channel_scores.size());
    for (std::uint32_t i = accumulators[r].first; i != end_of_chain; i = log[i].next) {
      const Appearance& a = log[i];
      auto entries = std::span(fusion.channel_scores).subspan(first);
      auto same = std::find_if(entries.begin(), entries.end(),
                               [&](const ChannelScore& s) { return s.channel == a.channel; });
      if (same == entries.end()) {
        fusion.channel_scores.push_back(ChannelScore{a.channel, a.contribution, a.rank});
      } else {
        same->contribution = a.contribution;
        same->rank = a.rank;
      }
    }
    scores[r] = accumulators[r].score;
    records[r] = FusedRecord{ids.key(r), scores[r], first,
                             static_cast<std::uint32_t>(fusion.channel_scores.size() - first)};
  }

  // Pass 3: stable order by descending score.
  fusion.records.reserve(record_count);
  for (std::uint32_t r : descending_order(scores)) fusion.records.push_back(records[r]);
  return fusion;
}

}  // namespace quibra::fusion
