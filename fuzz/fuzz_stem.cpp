// Fuzz target: the suffix stemmer against a loop over its rule table.
//
// The input is a word, any bytes. Every tail of it up to 40 bytes is stemmed
// too, each from its own exactly sized copy, so that the eight-bytes-at-a-time
// lowercasing meets every length and a read or write past either buffer
// stops under AddressSanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "reference.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

void check_stem(std::string_view word) {
  using fuzz_ref::check;
  namespace tok = quibra::tokenizer;
  const std::string expected = fuzz_ref::stem(word);

  const std::string stem = tok::stem_word(word);
  check(stem == expected, "stem_word equals the reference");
  check(stem.size() <= word.size(), "a stem is never longer than its word");
  check(!fuzz_ref::valid_utf8(word) || fuzz_ref::valid_utf8(stem),
        "a well-formed word gives a well-formed stem");

  const std::unique_ptr<char[]> in = std::make_unique<char[]>(word.size());
  std::copy(word.begin(), word.end(), in.get());
  const std::unique_ptr<char[]> out = std::make_unique<char[]>(word.size());
  const std::size_t length = tok::stem_into({in.get(), word.size()}, out.get());
  check(std::string_view(out.get(), length) == expected, "stem_into equals the reference");

  const std::string lowered = fuzz_ref::ascii_lower(word);
  const tok::StemCut cut = tok::stem_cut(lowered);
  check(cut.keep <= lowered.size(), "the cut keeps at most the word");
  check(lowered.substr(0, cut.keep) + std::string(cut.replacement) == expected,
        "stem_cut describes the reference's stem");
  check((cut.keep == lowered.size()) == (expected == lowered),
        "the cut keeps the whole word exactly when no rule applies");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view word(reinterpret_cast<const char*>(data), size);
  check_stem(word);
  for (std::size_t length = 0; length < std::min<std::size_t>(size, 40); ++length) {
    check_stem(word.substr(size - length));
  }
  return 0;
}
