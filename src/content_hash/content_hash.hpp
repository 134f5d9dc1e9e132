// Content hash for staleness detection: the polynomial rolling hash
//   h = seed;  h = h * multiplier + byte  (mod 2^64) for every byte,
// with no finalisation, written as 16 lowercase hex digits. Not
// cryptographic: it tells accidental change apart, nothing more.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quibra::content_hash {

inline constexpr std::uint64_t seed = 0x5c1e93b7a24f;
inline constexpr std::uint64_t multiplier = 0x100000001B3;  // the 64-bit FNV prime

// The hash text: 16 lowercase hex digits, most significant first.
using HashText = std::array<char, 16>;

struct FileContent {
  std::string_view path;
  std::span<const unsigned char> content;
};

struct FileHash {
  std::string_view path;
  std::size_t first;  // index of the path's first pair in the input
  HashText text;
};

std::uint64_t hash_bytes(std::span<const unsigned char> content) noexcept;

HashText format_hash(std::uint64_t hash) noexcept;

// One entry per distinct path, in order of first appearance, holding the
// hash of the path's last content.
std::vector<FileHash> batch_content_hash(std::span<const FileContent> files);

}  // namespace quibra::content_hash
