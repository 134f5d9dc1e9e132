// pack_budget(items, token_budget, diversity=True)
#include "budget/budget.hpp"
#include "module/bind.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

constexpr const char* parameters[] = {"items", "token_budget", "diversity"};
constexpr Signature signature{"pack_budget", parameters, 2};

// The candidates read from the item dicts. The texts hold their str objects:
// a score's __float__ or a count's __index__ may remove them from the dicts.
struct Candidates {
  std::vector<budget::BudgetCandidate> candidates;
  std::vector<Text> texts;
};

// Reads "id", "file", "score" and "tokens" of every item, in that order. An
// item without tokens, or with none to spend, is still read to the end but
// is no candidate.
Candidates read_candidates(const std::vector<Ref>& items) {
  const Ref id_key = checked(PyUnicode_InternFromString("id"));
  const Ref file_key = checked(PyUnicode_InternFromString("file"));
  const Ref score_key = checked(PyUnicode_InternFromString("score"));
  const Ref tokens_key = checked(PyUnicode_InternFromString("tokens"));
  auto text_item = [](const Ref& item, const Ref& key) {
    Ref value = dict_item(item.get(), key.get());
    return value ? to_text(value.get()) : Text{};
  };

  Candidates read;
  read.candidates.reserve(items.size());
  read.texts.reserve(2 * items.size());
  for (const Ref& item : items) {
    Text id = text_item(item, id_key);
    Text file = text_item(item, file_key);
    const Ref score = dict_item(item.get(), score_key.get());
    const double score_value = score ? to_float(score.get()) : 0.0;
    const Ref tokens = dict_item(item.get(), tokens_key.get());
    const std::uint64_t tokens_value = tokens ? to_u64(tokens.get()) : 0;
    if (tokens_value == 0) continue;
    read.candidates.push_back({id.bytes, file.bytes, score_value, tokens_value});
    read.texts.push_back(std::move(id));
    read.texts.push_back(std::move(file));
  }
  return read;
}

PyObject* pack_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [items_arg, budget_arg, diversity_arg] = bind<3>(signature, args, nargs, kwnames);
    const auto items = argument("items", [&] { return to_list(items_arg, to_dict_object); });
    const std::uint64_t token_budget = argument("token_budget", [&] { return to_u64(budget_arg); });
    const bool diversity = argument("diversity", [&] {
      return diversity_arg == nullptr || to_bool(diversity_arg);
    });

    const Candidates read = read_candidates(items);
    budget::Packing packing = budget::pack_budget(read.candidates, token_budget, diversity);

    Ref packed = new_list(packing.packed, [](budget::PackedRecord& record) {
      return new_packed_item(std::move(record));
    });
    return new_tuple(std::move(packed), new_int(packing.total_tokens)).release();
  });
}

}  // namespace

PyMethodDef pack_budget_def = fast_function(
    "pack_budget", pack_budget,
    "pack_budget(items, token_budget, diversity=True)\n--\n\n"
    "Diversity-aware greedy budget packing.\n"
    "\n"
    "Args:\n"
    "    items: List of dicts with keys: id, file, score, tokens.\n"
    "        Each dict represents a scored symbol candidate.\n"
    "    token_budget: Hard cap on total tokens.\n"
    "    diversity: Enable file-diversity penalty (default True).\n"
    "\n"
    "Returns:\n"
    "    (packed_items, total_tokens) where packed_items is a list of PackedItem.");

}  // namespace quibra::py
