#include "pagerank/pagerank.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <utility>

#include "common/string_index.hpp"

namespace quibra::pagerank {
namespace {

// Nodes are numbered by the byte order of their paths. A node's in-links are
// then stored in ascending number, which is ascending byte order of the
// source paths: the order in which the in-link sums must be added.
struct Graph {
  std::vector<std::size_t> in_begin;  // node v's in-links: in_links[in_begin[v] .. in_begin[v + 1])
  std::vector<std::uint32_t> in_links;
  std::vector<std::uint32_t> out_degree;
};

struct Link {
  std::uint32_t source;
  std::uint32_t target;
};

// The byte-order rank of every node of `nodes`, by node index. Comparing
// string_views goes through char_traits<char>, which compares bytes as
// unsigned values, and a proper prefix sorts first.
std::vector<std::uint32_t> byte_order_ranks(const StringIndex& nodes) {
  const auto n = static_cast<std::uint32_t>(nodes.size());
  std::vector<std::uint32_t> by_bytes(n);
  std::iota(by_bytes.begin(), by_bytes.end(), 0u);
  std::sort(by_bytes.begin(), by_bytes.end(),
            [&](std::uint32_t a, std::uint32_t b) { return nodes.key(a) < nodes.key(b); });
  std::vector<std::uint32_t> rank(n);
  for (std::uint32_t r = 0; r < n; ++r) rank[by_bytes[r]] = r;
  return rank;
}

// Start offsets from per-node counts held at [v + 1]: an exclusive prefix sum.
void counts_to_offsets(std::vector<std::size_t>& begin) {
  std::partial_sum(begin.begin(), begin.end(), begin.begin());
}

// Nodes by the address and length of the views in `files`. The caller's
// edges usually view the very same text objects as its files, and a view
// with the address and length of a known one holds the same bytes: matching
// it spares hashing the text and comparing it byte for byte. Any other view
// is looked up by its text. Addresses are not input text, so a plain
// multiplicative hash serves.
struct AddressTable {
  struct Slot {
    const char* data = nullptr;
    std::size_t size = 0;
    std::uint32_t node = 0;
  };
  std::vector<Slot> slots;
  int shift = 0;
};

std::size_t address_slot(const AddressTable& table, const char* data) noexcept {
  return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(data) * 0x9E3779B97F4A7C15ull) >>
                                  table.shift);
}

AddressTable address_table(std::span<const std::string_view> files,
                           const std::vector<std::uint32_t>& entry_node) {
  AddressTable table;
  // At most half full, so probes stay short and always meet an empty slot.
  const int bits = std::max(4, static_cast<int>(std::bit_width(files.size() * 2)));
  table.slots.resize(std::size_t{1} << bits);
  table.shift = 64 - bits;
  const std::size_t mask = table.slots.size() - 1;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].data() == nullptr) continue;  // an empty view may carry no address
    std::size_t at = address_slot(table, files[i].data());
    while (table.slots[at].data != nullptr &&
           (table.slots[at].data != files[i].data() || table.slots[at].size != files[i].size())) {
      at = (at + 1) & mask;
    }
    table.slots[at] = {files[i].data(), files[i].size(), entry_node[i]};
  }
  return table;
}

std::uint32_t find_node(const AddressTable& table, const StringIndex& nodes, std::string_view path) noexcept {
  const std::size_t mask = table.slots.size() - 1;
  if (path.data() != nullptr) {
    for (std::size_t at = address_slot(table, path.data()); table.slots[at].data != nullptr;
         at = (at + 1) & mask) {
      if (table.slots[at].data == path.data() && table.slots[at].size == path.size()) return table.slots[at].node;
    }
  }
  return nodes.find(path);
}

// Usable links (both ends are nodes, no self-loop), as ranks, in edge order.
std::vector<Link> usable_links(std::span<const ImportEdge> edges, const AddressTable& addresses,
                               const StringIndex& nodes, const std::vector<std::uint32_t>& rank) {
  std::vector<Link> links;
  links.reserve(edges.size());
  // Edge lists usually come grouped by importing file: a source equal to the
  // previous one (the same view, or failing that the same bytes) is the same
  // node, found without a lookup.
  bool first = true;
  std::string_view previous_source;
  std::uint32_t previous_node = StringIndex::npos;
  for (const ImportEdge& edge : edges) {
    const bool same_view =
        edge.source.data() == previous_source.data() && edge.source.size() == previous_source.size();
    if (first || (!same_view && edge.source != previous_source)) {
      first = false;
      previous_source = edge.source;
      previous_node = find_node(addresses, nodes, edge.source);
    }
    const std::uint32_t source = previous_node;
    if (source == StringIndex::npos) continue;
    const std::uint32_t target = find_node(addresses, nodes, edge.target);
    if (target == StringIndex::npos || target == source) continue;
    links.push_back({rank[source], rank[target]});
  }
  return links;
}

// Deduplicated in-link lists, each ascending, by two counting sorts: the
// links are first grouped by source, then dealt out to their targets walking
// the sources in ascending order. Copies of one link end up adjacent.
Graph build_graph(std::vector<Link> links, std::size_t n) {
  std::vector<std::size_t> by_source_begin(n + 1, 0);
  Graph graph;
  graph.in_begin.assign(n + 1, 0);
  for (const Link& link : links) {
    ++by_source_begin[link.source + 1];
    ++graph.in_begin[link.target + 1];
  }
  counts_to_offsets(by_source_begin);
  counts_to_offsets(graph.in_begin);

  std::vector<std::uint32_t> targets_by_source(links.size());
  {
    std::vector<std::size_t> next = by_source_begin;
    for (const Link& link : links) targets_by_source[next[link.source]++] = link.target;
  }
  links = {};

  graph.in_links.resize(targets_by_source.size());
  {
    std::vector<std::size_t> next(graph.in_begin.begin(), graph.in_begin.end() - 1);
    for (std::uint32_t source = 0; source < n; ++source) {
      for (std::size_t at = by_source_begin[source]; at < by_source_begin[source + 1]; ++at) {
        graph.in_links[next[targets_by_source[at]]++] = source;
      }
    }
  }

  // Squeeze out the repeated links; each kept one is an out-link of its source.
  graph.out_degree.assign(n, 0);
  std::size_t kept = 0;
  std::size_t begin = 0;
  for (std::size_t v = 0; v < n; ++v) {
    const std::size_t end = graph.in_begin[v + 1];
    graph.in_begin[v] = kept;
    std::uint32_t previous = StringIndex::npos;
    for (std::size_t at = begin; at < end; ++at) {
      const std::uint32_t source = graph.in_links[at];
      if (source == previous) continue;
      previous = source;
      graph.in_links[kept++] = source;
      ++graph.out_degree[source];
    }
    begin = end;
  }
  graph.in_begin[n] = kept;
  graph.in_links.resize(kept);
  graph.in_links.shrink_to_fit();
  return graph;
}

}  // namespace

Ranking compute_pagerank(std::span<const ImportEdge> edges, std::span<const std::string_view> files,
                         std::optional<double> damping, std::uint64_t max_iter, double tol) {
  Ranking ranking;
  if (files.empty()) return ranking;

  StringIndex nodes(files.size());
  std::vector<std::uint32_t> entry_node(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto [node, inserted] = nodes.insert(files[i]);
    entry_node[i] = node;
    if (inserted) ranking.first_entries.push_back(i);
  }
  const std::size_t n = nodes.size();
  const std::vector<std::uint32_t> rank = byte_order_ranks(nodes);
  std::vector<Link> links = usable_links(edges, address_table(files, entry_node), nodes, rank);
  const Graph graph = build_graph(std::move(links), n);

  // From here on nodes are known by rank only; `entries` is `files` in list order.
  std::vector<std::uint32_t> entries(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) entries[i] = rank[entry_node[i]];
  entry_node = {};

  // Entries without out-links, in list order (a repeated path is repeated),
  // so that the dangling mass is added up in the order of `files`.
  std::vector<std::uint32_t> dangling_entries;
  for (const std::uint32_t v : entries) {
    if (graph.out_degree[v] == 0) dangling_entries.push_back(v);
  }

  const double d = damping.value_or(default_damping);
  const auto N = static_cast<double>(files.size());
  const double teleport_share = (1.0 - d) / N;
  std::vector<double> current(n, 1.0 / N);
  std::vector<double> next(n);
  // score(u) / out-degree(u), divided once per iteration instead of once per
  // out-link: the same division, so the same bits.
  std::vector<double> shares(n);

  for (std::uint64_t k = 0;;) {
    if (k >= max_iter) {
      ranking.iterations = max_iter;
      break;
    }
    ++k;

    double dangling_mass = 0.0;
    for (const std::uint32_t v : dangling_entries) dangling_mass += current[v];
    const double dangling_share = (dangling_mass * d) / N;

    for (std::size_t u = 0; u < n; ++u) {
      if (graph.out_degree[u] != 0) shares[u] = current[u] / static_cast<double>(graph.out_degree[u]);
    }
    for (std::size_t v = 0; v < n; ++v) {
      double in_sum = 0.0;
      for (std::size_t at = graph.in_begin[v]; at < graph.in_begin[v + 1]; ++at) {
        in_sum += shares[graph.in_links[at]];
      }
      next[v] = (in_sum * d + teleport_share) + dangling_share;
    }

    double distance = 0.0;
    for (const std::uint32_t v : entries) distance += std::abs(next[v] - current[v]);
    // The older table is reused as the next one; only two ever exist.
    std::swap(current, next);
    // Written as tol > distance so that a NaN on either side keeps iterating.
    if (tol > distance) {
      ranking.iterations = k;
      break;
    }
  }

  ranking.paths = nodes.keys();
  ranking.scores.resize(n);
  for (std::size_t i = 0; i < n; ++i) ranking.scores[i] = current[rank[i]];
  return ranking;
}

}  // namespace quibra::pagerank
