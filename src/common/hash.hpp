// Keyed string hashing for the hash maps that are keyed by caller-supplied
// text. The key is drawn once per process from the system's random source, so
// an attacker who controls symbol ids or paths cannot precompute collisions
// (hash flooding); iteration order of such maps therefore varies between
// processes and no result may depend on it.
#pragma once

#include <cstdint>
#include <string_view>

namespace quibra {

// SipHash-1-3 of `bytes` under the process key.
std::uint64_t hash_text(std::string_view bytes) noexcept;

// Scrambles a hash computed elsewhere (for example the interpreter's own,
// cached string hash) with the process key, so that where it lands in a
// table cannot be predicted even when that hash can.
std::uint64_t mix_hash(std::uint64_t hash) noexcept;

}  // namespace quibra
