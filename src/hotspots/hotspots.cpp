#include "hotspots/hotspots.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/order.hpp"
#include "common/string_index.hpp"

namespace quibra::hotspots {
namespace {

// Paths compare with every backslash read as a slash, and nothing else changed.
void normalise_path(std::string& path) { std::replace(path.begin(), path.end(), '\\', '/'); }

// Halves round away from zero, which std::round does.
double round_to_4_places(double score) { return std::round(score * 10000.0) / 10000.0; }

Assessment assess(double score) {
  if (score > high_above) return Assessment::high;
  if (score > medium_above) return Assessment::medium;
  return Assessment::low;
}

}  // namespace

std::vector<Hotspot> rank_hotspots(std::span<const FileChurn> file_churn,
                                   std::span<const ScoredSymbol> symbols, std::uint64_t top_n) {
  // All normalised paths live in one buffer that is complete before the index
  // takes views into it.
  std::string paths;
  {
    std::size_t length = 0;
    for (const FileChurn& entry : file_churn) length += entry.path.size();
    paths.reserve(length);
    for (const FileChurn& entry : file_churn) paths += entry.path;
    normalise_path(paths);
  }
  StringIndex churn_paths(file_churn.size());
  std::vector<std::uint64_t> churn_of_path;
  churn_of_path.reserve(file_churn.size());
  std::size_t offset = 0;
  for (const FileChurn& entry : file_churn) {
    const auto [index, inserted] =
        churn_paths.insert(std::string_view(paths).substr(offset, entry.path.size()));
    offset += entry.path.size();
    if (inserted) {
      churn_of_path.push_back(entry.churn);
    } else {
      churn_of_path[index] = entry.churn;
    }
  }

  std::vector<Hotspot> ranked(symbols.size());
  std::string file;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const ScoredSymbol& symbol = symbols[i];
    std::string_view key = symbol.file;
    if (key.find('\\') != std::string_view::npos) {
      file.assign(key);
      normalise_path(file);
      key = file;
    }
    const std::uint32_t found = churn_paths.find(key);
    const std::uint64_t churn = found == StringIndex::npos ? 0 : churn_of_path[found];
    const double score =
        std::log(static_cast<double>(churn) + 1.0) * static_cast<double>(symbol.cyclomatic);
    ranked[i] = Hotspot{i, churn, score};
  }

  // Only the head of the ranking is kept, so only the head is sorted. The
  // index tie-break makes the order total, which gives the same head as a
  // stable sort of the whole ranking.
  const std::size_t keep =
      std::min<std::uint64_t>(std::max<std::uint64_t>(top_n, 1), ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + keep, ranked.end(),
                    [](const Hotspot& a, const Hotspot& b) {
                      if (ranks_before(a.score, b.score)) return true;
                      if (ranks_before(b.score, a.score)) return false;
                      return a.symbol < b.symbol;
                    });
  ranked.resize(keep);
  for (Hotspot& hotspot : ranked) {
    hotspot.rounded_score = round_to_4_places(hotspot.score);
    hotspot.assessment = assess(hotspot.score);
  }
  return ranked;
}

}  // namespace quibra::hotspots
