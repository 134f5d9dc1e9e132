// Fuzz target: the token splitter against the character-at-a-time reference.
//
// The input is the text itself, any bytes. Besides equality with the
// reference: the lowercased copy changes exactly the bytes A-Z, every token
// is a view into it of at least 2 bytes, tokens come in text order without
// overlapping, and a well-formed text gives well-formed tokens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "reference.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

void check_split(std::string_view text) {
  using fuzz_ref::check;
  const quibra::tokenizer::SplitTokens split = quibra::tokenizer::split_tokens(text);
  const char* const lowered = split.lowered.get();
  check(text.empty() || std::string_view(lowered, text.size()) == fuzz_ref::ascii_lower(text),
        "the lowered copy changes exactly the bytes A-Z");

  const std::vector<std::string> expected = fuzz_ref::split(text);
  check(split.tokens.size() == expected.size(), "token count equals the reference's");
  const bool well_formed = fuzz_ref::valid_utf8(text);
  const char* previous_end = lowered;
  for (std::size_t i = 0; i < split.tokens.size(); ++i) {
    const std::string_view token = split.tokens[i];
    check(token.size() >= 2, "every token has at least 2 bytes");
    check(token.data() >= previous_end && token.data() + token.size() <= lowered + text.size(),
          "tokens lie in the lowered copy, in order, without overlap");
    previous_end = token.data() + token.size();
    check(token == expected[i], "token equals the reference's");
    check(!well_formed || fuzz_ref::valid_utf8(token), "a well-formed text gives well-formed tokens");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_split(text);
  // Once more without the first byte: the fast path's 64-byte blocks then fall
  // elsewhere, and a multi-byte character may lose its lead byte.
  if (size > 0) check_split(text.substr(1));
  return 0;
}
