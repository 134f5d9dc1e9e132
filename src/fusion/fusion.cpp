#include "fusion/fusion.hpp"

#include <algorithm>

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

void record_channel(FusedRecord& record, std::string_view channel, double contribution,
                    std::uint64_t rank) {
  // Records rarely see more than a handful of channel names; the latest one
  // is the likeliest match (repeated ids within a channel).
  for (auto entry = record.channels.rbegin(); entry != record.channels.rend(); ++entry) {
    if (entry->channel == channel) {
      entry->contribution = contribution;
      entry->rank = rank;
      return;
    }
  }
  record.channels.push_back(ChannelScore{std::string(channel), contribution, rank});
}

}  // namespace

std::vector<FusedRecord> fuse(std::span<const Channel> channels, double smoothing,
                              std::span<const WeightOverride> overrides) {
  const WeightTable table(overrides);
  std::size_t occurrences = 0;
  for (const Channel& channel : channels) occurrences += channel.ranked_ids.size();

  StringIndex seen(occurrences);
  std::vector<FusedRecord> records;
  records.reserve(occurrences);
  for (const Channel& channel : channels) {
    const double weight = effective_weight(channel, table);
    std::uint64_t rank = 0;
    for (const std::string& id : channel.ranked_ids) {
      ++rank;
      const double contribution = weight / (static_cast<double>(rank) + smoothing);
      const auto [at, inserted] = seen.insert(id);
      if (inserted) records.push_back(FusedRecord{id, 0.0, {}});
      FusedRecord& record = records[at];
      record.score += contribution;
      record_channel(record, channel.name, contribution, rank);
    }
  }

  std::stable_sort(records.begin(), records.end(), [](const FusedRecord& a, const FusedRecord& b) {
    return ranks_before(a.score, b.score);
  });
  return records;
}

}  // namespace quibra::fusion
