// compute_pagerank(edges, files, damping=None, max_iter=100, tol=1e-6)
#include <optional>

#include "module/bind.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"
#include "pagerank/pagerank.hpp"

namespace quibra::py {
namespace {

constexpr const char* parameters[] = {"edges", "files", "damping", "max_iter", "tol"};
constexpr Signature signature{"compute_pagerank", parameters, 2};

constexpr std::uint64_t default_max_iter = 100;
constexpr double default_tol = 1e-6;

PyObject* compute_pagerank(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [edges_arg, files_arg, damping_arg, max_iter_arg, tol_arg] =
        bind<5>(signature, args, nargs, kwnames);
    // The views point into the texts of the edge tuples, which are held
    // rather than each text: a tuple cannot change and keeps its items.
    // A host lists a file's imports together, so consecutive edges often
    // share their source object; its conversion is then reused (the object
    // is alive, held by the earlier tuple, so its address is still its own).
    std::vector<Ref> held_edges;
    PyObject* last_source = nullptr;
    std::string_view last_source_bytes;
    const auto source_text = [&](PyObject* source) {
      if (source != last_source) {
        last_source_bytes = to_text(source).bytes;
        last_source = source;
      }
      return last_source_bytes;
    };
    const auto target_text = [](PyObject* target) { return to_text(target).bytes; };
    const auto edges = argument("edges", [&] {
      return to_list(edges_arg, [&](PyObject* item) {
        const auto [source, target] = to_pair(item, source_text, target_text);
        held_edges.push_back(Ref::borrow(item));
        return pagerank::ImportEdge{source, target};
      });
    });
    const auto files = argument("files", [&] { return to_list(files_arg, to_text); });
    const auto damping = argument("damping", [&] {
      return is_absent(damping_arg) ? std::optional<double>{} : std::optional<double>{to_float(damping_arg)};
    });
    const std::uint64_t max_iter =
        max_iter_arg ? argument("max_iter", [&] { return to_u64(max_iter_arg); }) : default_max_iter;
    const double tol = tol_arg ? argument("tol", [&] { return to_float(tol_arg); }) : default_tol;

    std::vector<std::string_view> paths;
    paths.reserve(files.size());
    for (const Text& file : files) paths.push_back(file.bytes);

    const pagerank::Ranking ranking = pagerank::compute_pagerank(edges, paths, damping, max_iter, tol);
    Ref scores = new_dict();
    for (std::size_t i = 0; i < ranking.paths.size(); ++i) {
      const Text& path = files[ranking.first_entries[i]];
      dict_insert(scores.get(), same_text(path.owner.get(), path.bytes).get(), new_float(ranking.scores[i]).get());
    }
    return new_tuple(std::move(scores), new_int(ranking.iterations)).release();
  });
}

}  // namespace

PyMethodDef compute_pagerank_def = fast_function(
    "compute_pagerank", compute_pagerank,
    "compute_pagerank(edges, files, damping=None, max_iter=100, tol=1e-6)\n--\n\n"
    "Compute PageRank on a file import graph.\n"
    "\n"
    "Args:\n"
    "    edges: List of (source_file, target_file) directed edges.\n"
    "    files: List of all file paths in the graph.\n"
    "    damping: Damping factor (default uses canary value).\n"
    "    max_iter: Maximum iterations (default 100).\n"
    "    tol: Convergence tolerance (default 1e-6).\n"
    "\n"
    "Returns:\n"
    "    (scores_dict, iterations_to_converge)");

}  // namespace quibra::py
