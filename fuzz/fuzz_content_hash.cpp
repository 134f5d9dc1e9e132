// Fuzz target: the content hash against the byte-by-byte recurrence
//   h = seed;  h = h * multiplier + byte  (mod 2^64),
// the hash text against printf's "%016llx", and the batch against an
// ordered map.
//
// The input serves three ways. Its spans from each of the first 16 offsets,
// at every length up to 80 and at full length, meet the block loops at every
// alignment and remainder; its tails up to 80 bytes end at the end of the
// buffer, so a read past a span stops under AddressSanitizer. Then it is read
// as a list of (path, content) pairs for the batch.
#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content_hash/content_hash.hpp"
#include "reference.hpp"

namespace {

namespace ch = quibra::content_hash;
using fuzz_ref::check;

std::uint64_t reference_hash(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t h = 0x5c1e93b7a24f;
  for (std::size_t i = 0; i < size; ++i) h = h * 1099511628211u + bytes[i];
  return h;
}

std::string reference_text(std::uint64_t h) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, h);
  return text;
}

void check_text(std::uint64_t h) {
  const ch::HashText text = ch::format_hash(h);
  check(std::string_view(text.data(), text.size()) == reference_text(h),
        "format_hash gives 16 lowercase hex digits");
}

void check_spans(const std::uint8_t* data, std::size_t size) {
  for (std::size_t offset = 0; offset < std::min<std::size_t>(size + 1, 16); ++offset) {
    const std::uint8_t* start = data + offset;
    const std::size_t rest = size - offset;
    std::uint64_t h = 0x5c1e93b7a24f;
    for (std::size_t length = 0; length <= std::min<std::size_t>(rest, 80); ++length) {
      check(ch::hash_bytes({start, length}) == h, "hash of a short span equals the recurrence");
      if (length < rest) h = h * 1099511628211u + start[length];
    }
    const std::uint64_t whole = ch::hash_bytes({start, rest});
    check(whole == reference_hash(start, rest), "hash of a span to the end equals the recurrence");
    check_text(whole);
  }
  for (std::size_t length = 0; length <= std::min<std::size_t>(size, 80); ++length) {
    const std::uint8_t* start = data + size - length;
    check(ch::hash_bytes({start, length}) == reference_hash(start, length),
          "hash of a tail equals the recurrence");
  }
}

// Pairs: a byte with the path length (0..3) and the content length (0..63),
// the path, then the content. Paths are short, so they repeat often.
void check_batch(const std::uint8_t* data, std::size_t size) {
  std::vector<ch::FileContent> files;
  std::size_t at = 0;
  while (at < size) {
    const unsigned lengths = data[at++];
    const std::size_t path_size = std::min<std::size_t>(lengths & 3, size - at);
    const std::string_view path(reinterpret_cast<const char*>(data + at), path_size);
    at += path_size;
    const std::size_t content_size = std::min<std::size_t>(lengths >> 2, size - at);
    files.push_back({path, {data + at, content_size}});
    at += content_size;
  }

  // path -> (first index, hash of the last content)
  std::map<std::string_view, std::pair<std::size_t, std::uint64_t>> expected;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::uint64_t h = reference_hash(files[i].content.data(), files[i].content.size());
    const auto [entry, inserted] = expected.try_emplace(files[i].path, i, h);
    if (!inserted) entry->second.second = h;
  }

  const std::vector<ch::FileHash> hashes = ch::batch_content_hash(files);
  check(hashes.size() == expected.size(), "one entry per distinct path");
  std::size_t previous_first = 0;
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    const ch::FileHash& entry = hashes[i];
    const auto found = expected.find(entry.path);
    check(found != expected.end(), "entry paths come from the input");
    check(entry.first == found->second.first, "first is the index of the path's first pair");
    check(i == 0 || entry.first > previous_first, "entries in order of first appearance");
    previous_first = entry.first;
    check(std::string_view(entry.text.data(), entry.text.size()) ==
              reference_text(found->second.second),
          "the last content of a path wins");
  }
}

}  // namespace

// Inputs that push the sums of a vectorised implementation to their extremes.
// Such an implementation may weight byte j of a 1024-byte block by
// P^(1023-j) split into signed 16-bit digits and add the products in 32-bit
// lanes; the largest lane sums come from bytes of 255 wherever one digit has
// one sign and 0 elsewhere. Each such pattern is hashed at several lengths
// at start-up (the fuzzer would hardly find them by mutation).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  constexpr std::size_t block = 1024;
  std::vector<std::int16_t> digits[4];
  for (auto& row : digits) row.resize(block);
  std::uint64_t power = 1;  // P^(block-1-j), j from the end
  for (std::size_t j = block; j-- > 0;) {
    std::uint64_t rest = power;
    for (std::size_t d = 0; d < 4; ++d) {
      digits[d][j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(rest));
      rest = (rest - static_cast<std::uint64_t>(std::int64_t{digits[d][j]})) >> 16;
    }
    power *= 1099511628211u;
  }
  for (std::size_t d = 0; d < 4; ++d) {
    for (const int sign : {1, -1}) {
      std::vector<std::uint8_t> bytes(3 * block);
      for (std::size_t j = 0; j < bytes.size(); ++j) {
        bytes[j] = sign * digits[d][j % block] > 0 ? 255 : 0;
      }
      for (const std::size_t length : {block, block - 32, 2 * block, 3 * block, 3 * block - 1}) {
        check(ch::hash_bytes({bytes.data(), length}) == reference_hash(bytes.data(), length),
              "hash of an extreme pattern equals the recurrence");
        check(ch::hash_bytes({bytes.data() + bytes.size() - length, length}) ==
                  reference_hash(bytes.data() + bytes.size() - length, length),
              "hash of an extreme pattern's tail equals the recurrence");
      }
    }
  }
  std::vector<std::uint8_t> ones(3 * block, 255);
  check(ch::hash_bytes(ones) == reference_hash(ones.data(), ones.size()),
        "hash of bytes 255 equals the recurrence");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_spans(data, size);
  if (size >= 8) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word = word << 8 | data[i];
    check_text(word);
  }
  check_batch(data, size);
  return 0;
}
