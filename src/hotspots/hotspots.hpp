// Hotspot scores of functions and methods: cyclomatic complexity times the
// logarithm of the churn of their file, with a three-level assessment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quibra::hotspots {

// Only these kinds of symbol are scored.
constexpr bool is_scored_kind(std::string_view kind) noexcept {
  return kind == "function" || kind == "method";
}

// One entry of the churn table, with its path as given (either separator).
struct FileChurn {
  std::string_view path;
  std::uint64_t churn = 0;
};

// A symbol that passed the kind and complexity filters, with its file as
// given (empty when it has none). The views must outlive the call.
struct ScoredSymbol {
  std::string_view file;
  std::uint64_t cyclomatic = 0;
};

enum class Assessment : std::uint8_t { low, medium, high };

inline constexpr std::string_view assessment_text[] = {"low", "medium", "high"};

// Assessment thresholds on the unrounded score; both tests are strict.
inline constexpr double high_above = 10.0;
inline constexpr double medium_above = 3.0;

struct Hotspot {
  std::size_t symbol = 0;      // index into the symbols passed in
  std::uint64_t churn = 0;     // churn found for the symbol's file, 0 when none
  double score = 0.0;          // ln(churn + 1) * cyclomatic, unrounded
  double rounded_score = 0.0;  // score to 4 decimals, halves away from zero
  Assessment assessment = Assessment::low;
};

// Scores every symbol against the churn table and returns the best
// max(top_n, 1) of them, highest score first, equal scores in input order.
// Paths match with backslashes read as slashes; when two churn paths become
// the same text that way, the later one wins.
std::vector<Hotspot> rank_hotspots(std::span<const FileChurn> file_churn,
                                   std::span<const ScoredSymbol> symbols, std::uint64_t top_n);

}  // namespace quibra::hotspots
