// Weighted reciprocal rank fusion: every appearance of an id at 1-based rank
// r in a channel of weight w adds w / (r + k) to the id's fused score.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quibra::fusion {

inline constexpr double default_smoothing = 61.0;
// A channel whose name is in neither the built-in table nor the overrides.
inline constexpr double fallback_weight = 1.0;

struct BuiltinWeight {
  std::string_view channel;
  double weight;
};

inline constexpr BuiltinWeight builtin_weights[] = {
    {"lexical", 1.0},
    {"structural", 0.4},
    {"similarity", 0.8},
    {"identity", 2.0},
};

// One channel's ranked ids, best first; duplicates allowed.
struct Channel {
  std::string_view name;
  std::span<const std::string> ranked_ids;
  double weight = 1.0;
};

// An entry of the caller's weight overrides.
struct WeightOverride {
  std::string_view channel;
  double weight;
};

// The contribution and 1-based rank last recorded for one channel name.
struct ChannelScore {
  std::string channel;
  double contribution;
  std::uint64_t rank;
};

struct FusedRecord {
  std::string symbol_id;
  double score = 0.0;
  // One entry per distinct channel name, in order of first appearance.
  std::vector<ChannelScore> channels;
};

// Fused records of every distinct id, best score first (NaN last); records
// with equal scores stay in order of the id's first appearance.
std::vector<FusedRecord> fuse(std::span<const Channel> channels, double smoothing,
                              std::span<const WeightOverride> overrides);

}  // namespace quibra::fusion
