// tokenize(text), tokenize_query(query), stem_word(word)
#include <array>
#include <string>
#include <vector>

#include "module/bind.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"
#include "tokenizer/tokenizer.hpp"

namespace quibra::py {
namespace {

// Each distinct term becomes one str, shared by all of its repeats in the
// list; all of them exist before the list does.
Ref new_term_list(const tokenizer::TermList& terms) {
  std::vector<Ref> texts;
  texts.reserve(terms.distinct.size());
  for (const std::string_view term : terms.distinct) texts.push_back(new_text(term));
  return list_of_existing(terms.terms, [&](std::uint32_t index) { return texts[index].get(); });
}

constexpr const char* tokenize_parameters[] = {"text"};
constexpr Signature tokenize_signature{"tokenize", tokenize_parameters, 1};

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [text_arg] = bind<1>(tokenize_signature, args, nargs, kwnames);
    const Text text = argument("text", [&] { return to_text(text_arg); });
    return new_term_list(tokenizer::tokenize(text.bytes)).release();
  });
}

constexpr const char* tokenize_query_parameters[] = {"query"};
constexpr Signature tokenize_query_signature{"tokenize_query", tokenize_query_parameters, 1};

PyObject* tokenize_query(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [query_arg] = bind<1>(tokenize_query_signature, args, nargs, kwnames);
    const Text query = argument("query", [&] { return to_text(query_arg); });
    return new_term_list(tokenizer::tokenize(query.bytes)).release();
  });
}

constexpr const char* stem_word_parameters[] = {"word"};
constexpr Signature stem_word_signature{"stem_word", stem_word_parameters, 1};

PyObject* stem_word(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [word_arg] = bind<1>(stem_word_signature, args, nargs, kwnames);
    const Text word = argument("word", [&] { return to_text(word_arg); });
    // A stem is never longer than its word: short words stem on the stack.
    std::array<char, 64> small;
    std::string large;
    char* room = small.data();
    if (word.bytes.size() > small.size()) room = (large.resize(word.bytes.size()), large.data());
    return new_text({room, tokenizer::stem_into(word.bytes, room)}).release();
  });
}

}  // namespace

PyMethodDef tokenize_def = fast_function(
    "tokenize", tokenize,
    "tokenize(text)\n--\n\n"
    "Enhanced tokenizer: split + stem + abbreviation expansion.\n"
    "\n"
    "Returns tokens suitable for BM25 indexing. Each input token produces:\n"
    "  1. The original lowercased token\n"
    "  2. Its stemmed form (if different)\n"
    "  3. Any abbreviation expansions (NOT stemmed \xe2\x80\x94 they're canonical forms)\n"
    "\n"
    "Args:\n"
    "    text: The text to tokenize (symbol name, signature, docstring, etc.)\n"
    "\n"
    "Returns:\n"
    "    List of tokens (may contain duplicates \xe2\x80\x94 BM25 uses term frequency).");

PyMethodDef tokenize_query_def = fast_function(
    "tokenize_query", tokenize_query,
    "tokenize_query(query)\n--\n\n"
    "Tokenize a query string for BM25 search.\n"
    "\n"
    "Same as tokenize() but also stems and expands query terms,\n"
    "ensuring \"searching\" matches \"search\", \"DB\" matches \"database\", etc.");

PyMethodDef stem_word_def = fast_function(
    "stem_word", stem_word,
    "stem_word(word)\n--\n\n"
    "Stem a single word (exposed for testing/debugging).");

}  // namespace quibra::py
