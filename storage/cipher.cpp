#include "storage/cipher.h"

namespace tessera {
namespace {

uint32_t LoadWord(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}

void StoreWord(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
  p[2] = static_cast<uint8_t>(w >> 16);
  p[3] = static_cast<uint8_t>(w >> 24);
}

// Enciphers one piece. `key` may be the piece itself: each key word is read
// just before it is used, so words changed earlier in the pass take effect,
// which the key derivation relies on.
void EncipherPiece(uint8_t* b, const uint8_t* key) {
  for (int i = 0; i < 16; ++i) {
    uint32_t k = LoadWord(key + 4 * i);
    int j = static_cast<int>(k & 15);
    uint32_t x = LoadWord(b + 4 * i), y = LoadWord(b + 4 * j);
    StoreWord(b + 4 * j, ((y & k) | (x & ~k)) + k);
    StoreWord(b + 4 * i, ((x & k) | (y & ~k)) + k);
  }
}

void DecipherPiece(uint8_t* b, const uint8_t* key) {
  for (int i = 15; i >= 0; --i) {
    uint32_t k = LoadWord(key + 4 * i);
    int j = static_cast<int>(k & 15);
    uint32_t a = LoadWord(b + 4 * i) - k, c = LoadWord(b + 4 * j) - k;
    StoreWord(b + 4 * i, (a & k) | (c & ~k));
    StoreWord(b + 4 * j, (c & k) | (a & ~k));
  }
}

}  // namespace

BlockCipher::Key BlockCipher::SeedKey(std::string_view password) {
  Key key{};
  size_t pos = 0;  // index into password; password.size() is the terminator
  for (int i = 0; i < 64; ++i) {
    if (pos < password.size()) {
      ++pos;
    } else {
      pos = 0;
    }
    uint8_t c = pos < password.size() ? static_cast<uint8_t>(password[pos]) : 0;
    key[(17 * i) & 63] = static_cast<uint8_t>(c + i);
  }
  return key;
}

BlockCipher::Key BlockCipher::DeriveKey(std::string_view password) {
  Key key = SeedKey(password);
  EncipherPiece(key.data(), key.data());
  EncipherPiece(key.data(), key.data());
  return key;
}

std::optional<BlockCipher> BlockCipher::FromPassword(std::string_view password) {
  if (password.empty()) return std::nullopt;
  return BlockCipher(DeriveKey(password));
}

void BlockCipher::Encipher(uint8_t* data, size_t n) const {
  for (size_t off = 0; off + kPiece <= n; off += kPiece) EncipherPiece(data + off, key_.data());
}

void BlockCipher::Decipher(uint8_t* data, size_t n) const {
  for (size_t off = 0; off + kPiece <= n; off += kPiece) DecipherPiece(data + off, key_.data());
}

}  // namespace tessera
