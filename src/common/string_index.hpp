// An insertion-ordered set of texts that gives each distinct text a dense
// index (0, 1, 2, ... in order of first insertion). The texts are views: the
// caller keeps their bytes alive for the lifetime of the index. Probing uses
// the keyed hash, so crafted inputs cannot force quadratic behaviour.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quibra {

class StringIndex {
 public:
  static constexpr std::uint32_t npos = UINT32_MAX;

  explicit StringIndex(std::size_t expected = 0);

  // The index of `key`, inserting it with the next free index when absent;
  // the bool is true when the key was inserted.
  std::pair<std::uint32_t, bool> insert(std::string_view key);

  // The index of `key`, or npos.
  std::uint32_t find(std::string_view key) const noexcept;

  // The same, for a caller that already has a hash of every key (equal
  // texts must have equal hashes). One index uses one kind of hash only:
  // either every call passes a hash or none does.
  std::pair<std::uint32_t, bool> insert(std::string_view key, std::uint64_t hash);

  std::size_t size() const noexcept { return keys_.size(); }
  std::string_view key(std::uint32_t index) const noexcept { return keys_[index]; }
  const std::vector<std::string_view>& keys() const noexcept { return keys_; }

 private:
  struct Slot {
    std::uint32_t index_plus_one = 0;  // 0 marks an empty slot
    std::uint32_t hash_tag = 0;        // upper hash bits, to skip most byte comparisons
  };

  std::size_t probe(std::string_view key, std::uint64_t hash) const noexcept;
  std::pair<std::uint32_t, bool> insert_hashed(std::string_view key, std::uint64_t hash);
  void grow();

  std::vector<Slot> slots_;
  std::vector<std::string_view> keys_;
  std::vector<std::uint64_t> hashes_;  // per key, so growing never rehashes text
  std::size_t mask_ = 0;
};

}  // namespace quibra
