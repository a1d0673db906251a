// BlockCipher: key derivation worked example, round trips, alignment.
#include "storage/cipher.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tessera {
namespace {

// The rule written out on words, independently of the byte code: encipher a
// 16-word block with itself as the key, words changing while in use.
void SelfEncipherWords(uint32_t* b) {
  for (int i = 0; i < 16; ++i) {
    uint32_t k = b[i];
    int j = k & 15;
    uint32_t x = b[i], y = b[j];
    b[j] = ((y & k) | (x & ~k)) + k;
    b[i] = ((x & k) | (y & ~k)) + k;
  }
}

TEST(CipherTest, OneCharacterPasswordSeedsTerminatorCharTerminator) {
  BlockCipher::Key seed = BlockCipher::SeedKey("A");
  for (int i = 0; i < 64; ++i) {
    uint8_t ch = (i % 2 == 0) ? 0 : 'A';  // terminator, char, terminator, ...
    EXPECT_EQ(seed[(17 * i) & 63], static_cast<uint8_t>(ch + i)) << "position " << i;
  }
  // Three characters cycle "b c \0 a b c \0 ...": the pointer advances first.
  BlockCipher::Key abc = BlockCipher::SeedKey("abc");
  const char cycle[] = {'b', 'c', 0, 'a'};
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(abc[(17 * i) & 63], static_cast<uint8_t>(cycle[i % 4] + i)) << i;

  uint32_t words[16];
  for (int w = 0; w < 16; ++w)
    words[w] = seed[4 * w] | seed[4 * w + 1] << 8 | seed[4 * w + 2] << 16 |
               uint32_t{seed[4 * w + 3]} << 24;
  SelfEncipherWords(words);
  SelfEncipherWords(words);
  BlockCipher::Key key = BlockCipher::DeriveKey("A");
  for (int w = 0; w < 16; ++w)
    EXPECT_EQ(key[4 * w] | key[4 * w + 1] << 8 | key[4 * w + 2] << 16 |
                  uint32_t{key[4 * w + 3]} << 24,
              words[w]);
}

TEST(CipherTest, EmptyPasswordMeansNoCipher) {
  EXPECT_FALSE(BlockCipher::FromPassword("").has_value());
  EXPECT_TRUE(BlockCipher::FromPassword("x").has_value());
  EXPECT_NE(BlockCipher::DeriveKey("x"), BlockCipher::DeriveKey("y"));
}

TEST(CipherTest, DecipherUndoesEncipherForManyKeys) {
  std::mt19937 rng(7);
  for (const char* pw : {"A", "secret", "a much longer password than sixty-four "
                                        "characters, so the pointer never wraps back"}) {
    BlockCipher c = *BlockCipher::FromPassword(pw);
    std::vector<uint8_t> data(64 * 9);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> work = data;
    c.Encipher(work.data(), work.size());
    EXPECT_NE(work, data);
    c.Decipher(work.data(), work.size());
    EXPECT_EQ(work, data) << pw;
  }
  // Keys whose low nibble points a word at itself (j == i) still round-trip.
  BlockCipher::Key k{};
  for (int w = 0; w < 16; ++w) k[4 * w] = static_cast<uint8_t>(w | 0xA0);
  BlockCipher self(k);
  std::vector<uint8_t> block(64, 0x5A), orig = block;
  self.Encipher(block.data(), 64);
  self.Decipher(block.data(), 64);
  EXPECT_EQ(block, orig);
}

TEST(CipherTest, PiecesAreIndependentAndAligned) {
  BlockCipher c = *BlockCipher::FromPassword("pw");
  std::vector<uint8_t> two(128, 0x11);
  c.Encipher(two.data(), 128);
  EXPECT_TRUE(std::equal(two.begin(), two.begin() + 64, two.begin() + 64))
      << "equal pieces encipher equally: each piece stands alone";
  std::vector<uint8_t> tail(100, 0x22);
  c.Encipher(tail.data(), tail.size());
  EXPECT_TRUE(std::all_of(tail.begin() + 64, tail.end(), [](uint8_t b) { return b == 0x22; }));
}

}  // namespace
}  // namespace tessera
