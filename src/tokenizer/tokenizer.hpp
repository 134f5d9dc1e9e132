// The BM25 term streams of the search index: identifier splitting, a fixed
// suffix stemmer and a two-way table of programming abbreviations.
//
// All functions work on bytes. Well-formed UTF-8 is expected, but any byte
// string is accepted: a byte that does not start a well-formed sequence is a
// separator, and no function reads outside the given text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quibra::tokenizer {

// ---- Suffix stemmer ---------------------------------------------------------

// How a word is stemmed: keep its first `keep` bytes and append `replacement`.
// A word that no rule changes has keep == its size and no replacement; every
// rule that applies leaves a strictly shorter result.
struct StemCut {
  std::size_t keep = 0;
  std::string_view replacement;
};

// The cut for a word whose ASCII letters are already lowercase.
StemCut stem_cut(std::string_view lowered) noexcept;

// The stem of `word`: its bytes with A-Z lowercased, then at most one suffix
// rule (or the plural rule) applied.
std::string stem_word(std::string_view word);

// The same, written to `out`, which has room for word.size() bytes (a stem is
// never longer than its word); returns the stem's length.
std::size_t stem_into(std::string_view word, char* out) noexcept;

// ---- Abbreviation table -----------------------------------------------------

// The expansions stored for exactly the key `term` (byte comparison), in table
// order; empty when `term` is no key. The views point at constant text.
std::span<const std::string_view> expansions_of(std::string_view term) noexcept;

// ---- Token streams ----------------------------------------------------------

// The split tokens of a text, in text order, as views into `lowered`.
struct SplitTokens {
  std::unique_ptr<char[]> lowered;  // the text with bytes A-Z replaced by a-z
  std::vector<std::string_view> tokens;
};

SplitTokens split_tokens(std::string_view text);

// A term list in compact form: the i-th term is distinct[terms[i]].
// `distinct` holds every different term once, in order of first occurrence,
// so a caller can build each text once and share it between repeats. The
// views point into `bytes` (owned here) or at the abbreviation table's
// constants.
struct TermList {
  std::vector<std::string_view> distinct;
  std::vector<std::uint32_t> terms;
  std::unique_ptr<char[]> bytes;  // the lowercased text, then the stems built from it
};

// Split tokens enriched with their stems and abbreviation expansions.
TermList tokenize(std::string_view text);

}  // namespace quibra::tokenizer
