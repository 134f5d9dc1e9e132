// PageRank by power iteration over the graph of file imports. An edge
// (source, target) means that source imports target: score flows from the
// importer to the imported file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quibra::pagerank {

inline constexpr double default_damping = 0.8347;

struct ImportEdge {
  std::string_view source;
  std::string_view target;
};

struct Ranking {
  // One entry per distinct path of `files`, in order of first appearance;
  // the views point into the caller's `files`.
  std::vector<std::string_view> paths;
  std::vector<std::size_t> first_entries;  // index in `files` of each path's first listing
  std::vector<double> scores;
  std::uint64_t iterations = 0;
};

// Edges whose ends are not both in `files`, and self-loops, are ignored; an
// edge given several times counts once. A path listed several times in
// `files` is one node but counts once per listing in N, in the dangling mass
// and in the distance. Iterates until the L1 distance between successive
// score vectors is below `tol`, or `max_iter` times.
Ranking compute_pagerank(std::span<const ImportEdge> edges, std::span<const std::string_view> files,
                         std::optional<double> damping, std::uint64_t max_iter, double tol);

}  // namespace quibra::pagerank
