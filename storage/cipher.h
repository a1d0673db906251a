// BlockCipher: the optional enciphering of every block of a password-
// protected file.
//
// Layout: the cipher works on 64-byte pieces, each read as 16 little-endian
// 32-bit words B[0..15]; the key is 16 such words K[0..15] (64 bytes). All
// arithmetic is modulo 2^32. Every block offset and length in a file is a
// multiple of 64, so pieces always align with the file; the 512-byte header
// is enciphered like every other block.
//
//   Encipher: for i = 0..15: k = K[i], j = k & 15, x = B[i], y = B[j];
//             B[j] = ((y & k) | (x & ~k)) + k; B[i] = ((x & k) | (y & ~k)) + k
//   Decipher: for i = 15..0: k = K[i], j = k & 15, a = B[i] - k, b = B[j] - k;
//             B[i] = (a & k) | (b & ~k); B[j] = (b & k) | (a & ~k)
//
// Key derivation from a password P (a text without zero bytes): walk a
// pointer over P, wrapping at the terminator, so that for i = 0..63 the
// character taken is the next one after the pointer (the terminator counting
// as a character 0); store (char + i) mod 256 at key byte (17 * i) & 63.
// Then encipher the 64 key bytes with themselves as the key, twice, in place.
//
// Invariants:
//  1. Decipher(Encipher(b)) == b for every piece and key.
//  2. An empty password gives no key (the file is not enciphered).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessera {

class BlockCipher {
 public:
  static constexpr size_t kPiece = 64;
  using Key = std::array<uint8_t, kPiece>;

  explicit BlockCipher(const Key& key) : key_(key) {}

  // The cipher for a password, or none for an empty password.
  static std::optional<BlockCipher> FromPassword(std::string_view password);
  // The 64 key bytes derived from a non-empty password: SeedKey, then
  // enciphered with itself twice.
  static Key DeriveKey(std::string_view password);
  // The first stage of the derivation: the password's characters (and
  // terminators), each plus its position, spread over the key bytes.
  static Key SeedKey(std::string_view password);

  const Key& key() const { return key_; }

  // Work in place on `n` bytes, n a multiple of 64 (a trailing remainder
  // shorter than a piece is left as it is).
  void Encipher(uint8_t* data, size_t n) const;
  void Decipher(uint8_t* data, size_t n) const;

 private:
  Key key_;
};

}  // namespace tessera
