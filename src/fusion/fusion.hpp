// Weighted reciprocal rank fusion: every appearance of an id at 1-based rank
// r in a channel of weight w adds w / (r + k) to the id's fused score.
#pragma once

#include <cstdint>
#include <span>
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

// A symbol id with a hash of its text from the caller (equal texts, equal
// hashes); the caller usually has one cached.
struct RankedId {
  std::string_view text;
  std::uint64_t hash;
};

// One channel's ranked ids, best first; duplicates allowed.
struct Channel {
  std::string_view name;
  std::span<const RankedId> ranked_ids;
  double weight = 1.0;
};

// An entry of the caller's weight overrides.
struct WeightOverride {
  std::string_view channel;
  double weight;
};

// The contribution and 1-based rank last recorded for one channel name.
struct ChannelScore {
  std::uint32_t channel;  // index into Fusion::channel_names
  double contribution;
  std::uint64_t rank;
};

struct FusedRecord {
  std::string_view symbol_id;
  double score = 0.0;
  // This record's entries in Fusion::channel_scores: one per distinct
  // channel name the id appears in, in order of first appearance.
  std::uint32_t first_score = 0;
  std::uint32_t score_count = 0;
};

// The result. Its texts are views of the caller's input.
struct Fusion {
  std::vector<std::string_view> channel_names;  // distinct, in order of appearance
  std::vector<FusedRecord> records;             // best score first, NaN last
  std::vector<ChannelScore> channel_scores;

  std::span<const ChannelScore> scores_of(const FusedRecord& record) const noexcept {
    return std::span(channel_scores).subspan(record.first_score, record.score_count);
  }
};

// Records with equal scores stay in order of the id's first appearance.
Fusion fuse(std::span<const Channel> channels, double smoothing,
            std::span<const WeightOverride> overrides);

}  // namespace quibra::fusion
