// compute_hotspots(symbols, file_churn, min_complexity=2, top_n=20)
#include <array>

#include "hotspots/hotspots.hpp"
#include "module/bind.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

constexpr const char* parameters[] = {"symbols", "file_churn", "min_complexity", "top_n"};
constexpr Signature signature{"compute_hotspots", parameters, 2};

constexpr std::uint64_t default_min_complexity = 2;
constexpr std::uint64_t default_top_n = 20;

// The keys of a result dict, in its order. A symbol dict is read under the
// same names for the first eight, except that its id is "id".
enum Key : std::size_t {
  id, name, kind, file, line, cyclomatic, max_nesting, param_count, churn, hotspot_score,
  assessment
};
constexpr const char* input_names[] = {
    "id", "name", "kind", "file", "line", "cyclomatic", "max_nesting", "param_count"};
constexpr const char* output_names[] = {
    "symbol_id", "name", "kind", "file", "line", "cyclomatic", "max_nesting", "param_count",
    "churn", "hotspot_score", "assessment"};

template <std::size_t N>
using Keys = std::array<Ref, N>;
using InputKeys = Keys<std::size(input_names)>;
using OutputKeys = Keys<std::size(output_names)>;

template <std::size_t N>
Keys<N> make_keys(const char* const (&names)[N]) {
  Keys<N> keys;
  for (std::size_t i = 0; i < N; ++i) keys[i] = checked(PyUnicode_InternFromString(names[i]));
  return keys;
}

// A symbol that passed the filters: the input objects its result dict passes
// through (null when absent) and the counts read from it.
struct Accepted {
  Ref id, name, line;
  Text kind, file;
  std::uint64_t cyclomatic, max_nesting, param_count;
};

std::uint64_t count_item(PyObject* symbol, const Ref& key) {
  Ref value = dict_item(symbol, key.get());
  return value ? to_u64(value.get()) : 0;
}

// Walks the symbols in order, reading each key only once the symbol is
// known to need it: a symbol skipped for its kind or complexity has none of
// its later keys read.
std::vector<Accepted> accept_symbols(const std::vector<Ref>& symbols, const InputKeys& keys,
                                     std::uint64_t min_complexity) {
  std::vector<Accepted> accepted;
  accepted.reserve(symbols.size());
  for (const Ref& symbol : symbols) {
    PyObject* dict = symbol.get();
    Ref kind_value = dict_item(dict, keys[kind].get());
    if (!kind_value) continue;
    Text kind_text = to_text(kind_value.get());
    if (!hotspots::is_scored_kind(kind_text.bytes)) continue;
    const std::uint64_t complexity = count_item(dict, keys[cyclomatic]);
    if (complexity < min_complexity) continue;
    Ref file_value = dict_item(dict, keys[file].get());
    Text file_text = file_value ? to_text(file_value.get()) : Text{};

    // The kind and file objects checked above are the ones passed through,
    // even if a later __index__ hook replaces them in the dict.
    Accepted& a = accepted.emplace_back();
    a.kind = std::move(kind_text);
    a.file = std::move(file_text);
    a.cyclomatic = complexity;
    a.id = dict_item(dict, keys[id].get());
    a.name = dict_item(dict, keys[name].get());
    a.line = dict_item(dict, keys[line].get());
    a.max_nesting = count_item(dict, keys[max_nesting]);
    a.param_count = count_item(dict, keys[param_count]);
  }
  return accepted;
}

Ref result_dict(const Accepted& symbol, const hotspots::Hotspot& hotspot,
                const OutputKeys& keys,
                const std::array<Ref, 3>& assessments) {
  Ref dict = new_dict();
  auto pass_through = [&](Key key, const Ref& value) {
    if (value) dict_insert(dict.get(), keys[key].get(), value.get());
  };
  auto insert = [&](Key key, Ref value) { dict_insert(dict.get(), keys[key].get(), value.get()); };
  pass_through(id, symbol.id);
  pass_through(name, symbol.name);
  pass_through(kind, symbol.kind.owner);
  pass_through(file, symbol.file.owner);
  pass_through(line, symbol.line);
  insert(cyclomatic, new_int(symbol.cyclomatic));
  insert(max_nesting, new_int(symbol.max_nesting));
  insert(param_count, new_int(symbol.param_count));
  insert(churn, new_int(hotspot.churn));
  insert(hotspot_score, new_float(hotspot.rounded_score));
  insert(assessment, Ref::borrow(assessments[static_cast<std::size_t>(hotspot.assessment)].get()));
  return dict;
}

PyObject* compute_hotspots(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [symbols_arg, churn_arg, min_complexity_arg, top_n_arg] =
        bind<4>(signature, args, nargs, kwnames);
    const auto symbols = argument("symbols", [&] { return to_list(symbols_arg, to_dict_object); });
    const auto file_churn =
        argument("file_churn", [&] { return to_dict(churn_arg, to_text, to_u64); });
    const std::uint64_t min_complexity = argument("min_complexity", [&] {
      return min_complexity_arg ? to_u64(min_complexity_arg) : default_min_complexity;
    });
    const std::uint64_t top_n = argument("top_n", [&] {
      return top_n_arg ? to_u64(top_n_arg) : default_top_n;
    });

    const InputKeys input_keys = make_keys(input_names);
    const std::vector<Accepted> accepted = accept_symbols(symbols, input_keys, min_complexity);

    std::vector<hotspots::FileChurn> churn_table;
    churn_table.reserve(file_churn.size());
    for (const auto& [path, commits] : file_churn) churn_table.push_back({path.bytes, commits});
    std::vector<hotspots::ScoredSymbol> scored;
    scored.reserve(accepted.size());
    for (const Accepted& symbol : accepted) {
      scored.push_back({symbol.file.bytes, symbol.cyclomatic});
    }
    const auto ranked = hotspots::rank_hotspots(churn_table, scored, top_n);

    const OutputKeys output_keys = make_keys(output_names);
    std::array<Ref, 3> assessments;
    for (std::size_t i = 0; i < assessments.size(); ++i) {
      assessments[i] = new_text(hotspots::assessment_text[i]);
    }
    return new_list(ranked, [&](const hotspots::Hotspot& hotspot) {
             return result_dict(accepted[hotspot.symbol], hotspot, output_keys, assessments);
           }).release();
  });
}

}  // namespace

PyMethodDef compute_hotspots_def = fast_function(
    "compute_hotspots", compute_hotspots,
    "compute_hotspots(symbols, file_churn, min_complexity=2, top_n=20)\n--\n\n"
    "Compute hotspot scores for a batch of symbols.\n"
    "\n"
    "Args:\n"
    "    symbols: List of dicts with keys: id, name, kind, file, line,\n"
    "        cyclomatic, max_nesting, param_count.\n"
    "    file_churn: Dict mapping file path -> commit count in the window.\n"
    "    min_complexity: Minimum cyclomatic to include (default 2).\n"
    "    top_n: Number of results to return (default 20).\n"
    "\n"
    "Returns:\n"
    "    List of dicts with hotspot_score and assessment added.");

}  // namespace quibra::py
