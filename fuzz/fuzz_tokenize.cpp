// Fuzz target: enrichment (split tokens with their stems and abbreviation
// expansions) against the reference built from the plain splitter, stemmer
// and table scan, with an ordered set as the seen set.
//
// The input is the text, any bytes. Besides equality with the reference, the
// compact form is checked on its own terms: `distinct` holds each text once,
// in order of first use; the split tokens occur in order with their
// multiplicity; every other term (a stem or an expansion) occurs once.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "reference.hpp"
#include "tokenizer/tokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz_ref::check;
  namespace tok = quibra::tokenizer;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tok::TermList list = tok::tokenize(text);

  std::set<std::string_view> distinct;
  for (const std::string_view term : list.distinct) {
    check(distinct.insert(term).second, "distinct holds each text once");
  }
  std::uint32_t next_new = 0;
  std::vector<std::string_view> terms;
  terms.reserve(list.terms.size());
  for (const std::uint32_t index : list.terms) {
    check(index < list.distinct.size(), "term indices lie in distinct");
    check(index <= next_new, "distinct is in order of first use");
    if (index == next_new) ++next_new;
    terms.push_back(list.distinct[index]);
  }
  check(next_new == list.distinct.size(), "every distinct text is used");

  const std::vector<std::string> expected = fuzz_ref::tokenize(text);
  check(terms.size() == expected.size(), "term count equals the reference's");
  for (std::size_t i = 0; i < terms.size(); ++i) {
    check(terms[i] == expected[i], "term equals the reference's");
  }

  // The split tokens, as the splitter gives them, are a subsequence of the
  // terms, and beyond its occurrences as a token each text occurs at most
  // once more (as a stem or an expansion).
  const tok::SplitTokens split = tok::split_tokens(text);
  std::map<std::string_view, std::size_t> surplus;
  for (const std::string_view term : terms) ++surplus[term];
  std::size_t matched = 0;
  for (const std::string_view term : terms) {
    if (matched < split.tokens.size() && term == split.tokens[matched]) ++matched;
  }
  check(matched == split.tokens.size(), "the split tokens occur in order among the terms");
  for (const std::string_view token : split.tokens) {
    check(surplus[token] > 0, "each split token occurs once per occurrence in the text");
    --surplus[token];
  }
  for (const auto& [term, count] : surplus) {
    check(count <= 1, "a stem or an expansion occurs at most once");
  }
  const bool well_formed = fuzz_ref::valid_utf8(text);
  for (const std::string_view term : list.distinct) {
    check(!well_formed || fuzz_ref::valid_utf8(term), "a well-formed text gives well-formed terms");
  }
  return 0;
}
