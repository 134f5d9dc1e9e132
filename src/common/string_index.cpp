#include "common/string_index.hpp"

#include <bit>
#include <stdexcept>

#include "common/hash.hpp"

namespace quibra {
namespace {

constexpr std::uint32_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint32_t>(hash >> 32);
}

// Callers often pass views of one shared buffer for equal texts.
bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.data() == b.data() || a == b);
}

// Smallest power of two that keeps the table at most half full.
std::size_t capacity_for(std::size_t count) {
  return std::bit_ceil(count * 2 < 16 ? std::size_t{16} : count * 2);
}

}  // namespace

StringIndex::StringIndex(std::size_t expected)
    : slots_(capacity_for(expected)), mask_(slots_.size() - 1) {
  keys_.reserve(expected);
  hashes_.reserve(expected);
}

// Linear probing: returns the slot holding `key`, or the empty slot where it
// belongs. The table is never full, so the loop ends.
std::size_t StringIndex::probe(std::string_view key, std::uint64_t hash) const noexcept {
  const std::uint32_t tag = tag_of(hash);
  for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
    const Slot& slot = slots_[at];
    if (slot.index_plus_one == 0) return at;
    if (slot.hash_tag == tag && same_text(keys_[slot.index_plus_one - 1], key)) return at;
  }
}

std::uint32_t StringIndex::find(std::string_view key) const noexcept {
  const Slot& slot = slots_[probe(key, hash_text(key))];
  return slot.index_plus_one == 0 ? npos : slot.index_plus_one - 1;
}

std::pair<std::uint32_t, bool> StringIndex::insert(std::string_view key) {
  return insert_hashed(key, hash_text(key));
}

std::pair<std::uint32_t, bool> StringIndex::insert(std::string_view key, std::uint64_t hash) {
  return insert_hashed(key, mix_hash(hash));
}

std::pair<std::uint32_t, bool> StringIndex::insert_hashed(std::string_view key, std::uint64_t hash) {
  std::size_t at = probe(key, hash);
  if (slots_[at].index_plus_one != 0) return {slots_[at].index_plus_one - 1, false};
  if (keys_.size() >= npos - 1) throw std::length_error("too many distinct texts");
  if ((keys_.size() + 1) * 2 > slots_.size()) {
    grow();
    at = probe(key, hash);
  }
  keys_.push_back(key);
  hashes_.push_back(hash);
  const auto index = static_cast<std::uint32_t>(keys_.size() - 1);
  slots_[at] = Slot{index + 1, tag_of(hash)};
  return {index, true};
}

void StringIndex::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.size() * 2, Slot{});
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.index_plus_one == 0) continue;
    std::size_t at = hashes_[slot.index_plus_one - 1] & mask_;
    while (slots_[at].index_plus_one != 0) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

}  // namespace quibra
