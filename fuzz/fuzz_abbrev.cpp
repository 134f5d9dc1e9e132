// Fuzz target: the abbreviation lookup against a scan of the table from the
// front.
//
// The input is a term, any bytes; each of its prefixes up to 16 bytes is
// looked up too (the keys are short, so most near misses are prefixes of
// some longer input). Each term is looked up in its own exactly sized copy,
// so a read past its end stops under AddressSanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "reference.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

void check_lookup(std::string_view term) {
  using fuzz_ref::check;
  const std::unique_ptr<char[]> copy = std::make_unique<char[]>(term.size());
  std::copy(term.begin(), term.end(), copy.get());
  const auto found = quibra::tokenizer::expansions_of({copy.get(), term.size()});
  const auto expected = fuzz_ref::expansions(term);
  check(found.size() == expected.size(), "expansion count equals the reference's");
  for (std::size_t i = 0; i < found.size(); ++i) {
    check(found[i] == expected[i], "expansion equals the reference's, in order");
  }
}

}  // namespace

// Every key once at start-up, with its near misses: the key with a letter
// more or less, and upper case (the lookup does not fold case).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const fuzz_ref::Entry& entry : fuzz_ref::abbreviations()) {
    const std::string key = entry.key;
    std::string upper = key;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(c - 'a' + 'A'); });
    for (const std::string& term : {key, key + "s", key.substr(0, key.size() - 1), upper}) {
      check_lookup(term);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view term(reinterpret_cast<const char*>(data), size);
  check_lookup(term);
  for (std::size_t length = 0; length < std::min<std::size_t>(size, 16); ++length) {
    check_lookup(term.substr(0, length));
  }
  return 0;
}
