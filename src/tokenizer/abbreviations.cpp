// The two-way abbreviation table. It is a constant built by the compiler, so
// there is nothing to initialise at run time and concurrent readers need no
// guard.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "tokenizer/tokenizer.hpp"

namespace quibra::tokenizer {
namespace {

struct Abbreviation {
  std::string_view key;
  std::array<std::string_view, 2> expansions;  // one or two, in emission order
};

constexpr Abbreviation abbreviation_table[] = {
    // Abbreviation to full forms.
    {"db", {"database"}},
    {"auth", {"authentication", "authorization"}},
    {"config", {"configuration"}},
    {"ctx", {"context"}},
    {"env", {"environment"}},
    {"err", {"error"}},
    {"exec", {"execute", "execution"}},
    {"fn", {"function"}},
    {"func", {"function"}},
    {"impl", {"implementation", "implement"}},
    {"init", {"initialize", "initialization"}},
    {"iter", {"iterator", "iterate"}},
    {"len", {"length"}},
    {"lib", {"library"}},
    {"max", {"maximum"}},
    {"mem", {"memory"}},
    {"min", {"minimum"}},
    {"msg", {"message"}},
    {"num", {"number"}},
    {"obj", {"object"}},
    {"param", {"parameter"}},
    {"params", {"parameters"}},
    {"pkg", {"package"}},
    {"prev", {"previous"}},
    {"proc", {"process", "procedure"}},
    {"prop", {"property"}},
    {"props", {"properties"}},
    {"ref", {"reference"}},
    {"refs", {"references"}},
    {"repo", {"repository"}},
    {"req", {"request"}},
    {"res", {"response", "result"}},
    {"ret", {"return"}},
    {"src", {"source"}},
    {"str", {"string"}},
    {"sync", {"synchronize", "synchronous"}},
    {"sys", {"system"}},
    {"temp", {"temporary"}},
    {"tmp", {"temporary"}},
    {"val", {"value"}},
    {"var", {"variable"}},
    {"vars", {"variables"}},
    // Full form back to abbreviations.
    {"database", {"db"}},
    {"authentication", {"auth"}},
    {"authorization", {"auth"}},
    {"configuration", {"config"}},
    {"context", {"ctx"}},
    {"environment", {"env"}},
    {"error", {"err"}},
    {"execute", {"exec"}},
    {"function", {"func", "fn"}},
    {"initialize", {"init"}},
    {"initialization", {"init"}},
    {"iterator", {"iter"}},
    {"message", {"msg"}},
    {"parameter", {"param"}},
    {"parameters", {"params"}},
    {"repository", {"repo"}},
    {"request", {"req"}},
    {"response", {"res"}},
    {"temporary", {"temp", "tmp"}},
    {"variable", {"var"}},
    {"variables", {"vars"}},
};
constexpr std::size_t entry_count = std::size(abbreviation_table);
static_assert(entry_count == 63);

constexpr bool keys_distinct_and_nonempty() {
  for (std::size_t i = 0; i < entry_count; ++i) {
    if (abbreviation_table[i].key.empty() || abbreviation_table[i].expansions[0].empty()) {
      return false;
    }
    for (std::size_t j = i + 1; j < entry_count; ++j) {
      if (abbreviation_table[i].key == abbreviation_table[j].key) return false;
    }
  }
  return true;
}
static_assert(keys_distinct_and_nonempty());

// Lookup: open addressing over a power-of-two slot array filled at compile
// time. The probe start mixes the length and three bytes of the term, enough
// to spread 63 short keys; the term is then compared byte for byte. Since no
// input is ever inserted, crafted terms cannot lengthen the probe sequences.
constexpr std::size_t slot_count = 256;
constexpr std::uint8_t empty_slot = 0xff;

constexpr std::size_t probe_start(std::string_view term) noexcept {
  const std::size_t n = term.size();
  const auto first = static_cast<std::uint32_t>(static_cast<unsigned char>(term[0]));
  const auto second = static_cast<std::uint32_t>(static_cast<unsigned char>(term[n > 1 ? 1 : 0]));
  const auto last = static_cast<std::uint32_t>(static_cast<unsigned char>(term[n - 1]));
  std::uint32_t h = static_cast<std::uint32_t>(n) * 0x9e3779b1u;
  h ^= first * 0x85ebca77u;
  h ^= second * 0xc2b2ae3du;
  h ^= last * 0x27d4eb2fu;
  h ^= h >> 15;
  return h & (slot_count - 1);
}

constexpr std::array<std::uint8_t, slot_count> fill_slots() {
  std::array<std::uint8_t, slot_count> slots{};
  for (auto& slot : slots) slot = empty_slot;
  for (std::size_t i = 0; i < entry_count; ++i) {
    std::size_t at = probe_start(abbreviation_table[i].key);
    while (slots[at] != empty_slot) at = (at + 1) & (slot_count - 1);
    slots[at] = static_cast<std::uint8_t>(i);
  }
  return slots;
}
constexpr std::array<std::uint8_t, slot_count> slots = fill_slots();

constexpr std::span<const std::string_view> expansions_of_entry(const Abbreviation& entry) {
  return {entry.expansions.data(), entry.expansions[1].empty() ? 1u : 2u};
}

}  // namespace

std::span<const std::string_view> expansions_of(std::string_view term) noexcept {
  if (term.empty()) return {};
  for (std::size_t at = probe_start(term);; at = (at + 1) & (slot_count - 1)) {
    const std::uint8_t entry = slots[at];
    if (entry == empty_slot) return {};
    if (abbreviation_table[entry].key == term) {
      return expansions_of_entry(abbreviation_table[entry]);
    }
  }
}

}  // namespace quibra::tokenizer
