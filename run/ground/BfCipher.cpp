#include "run/ground/BfCipher.h"

#include <string.h>  // explicit_bzero
#include <cstring>
#include <utility>

#include "run/ground/BfTables.h"

BfContextRec BfContext;

namespace {

inline std::uint32_t F(const BfContextRec& ctx, std::uint32_t x) {
  const std::uint32_t a = ctx.S[0][x >> 24];
  const std::uint32_t b = ctx.S[1][(x >> 16) & 0xFF];
  const std::uint32_t c = ctx.S[2][(x >> 8) & 0xFF];
  const std::uint32_t d = ctx.S[3][x & 0xFF];
  return ((a + b) ^ c) + d;
}

void Wipe(BfContextRec& ctx) { explicit_bzero(&ctx, sizeof ctx); }

std::uint32_t LoadLE(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void StoreLE(std::uint32_t v, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

void Bf_KeySchedule(BfContextRec& ctx, const unsigned char* key, std::size_t key_len) {
  std::memcpy(ctx.S, kBfInitS, sizeof ctx.S);
  std::size_t k = 0;
  for (int i = 0; i < 18; ++i) {
    std::uint32_t word = 0;
    for (int j = 0; j < 4; ++j) {
      // An empty key leaves the initial P-array as it is.
      const std::uint32_t byte = key_len > 0 ? key[k] : 0u;
      word = (word << 8) | byte;
      if (key_len > 0) k = (k + 1) % key_len;
    }
    ctx.P[i] = kBfInitP[i] ^ word;
  }
  std::uint32_t left = 0, right = 0;
  for (int i = 0; i < 18; i += 2) {
    Bf_Encipher(ctx, left, right);
    ctx.P[i] = left;
    ctx.P[i + 1] = right;
  }
  for (auto& box : ctx.S) {
    for (int i = 0; i < 256; i += 2) {
      Bf_Encipher(ctx, left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
}

void Bf_Encipher(const BfContextRec& ctx, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left, r = right;
  for (int i = 0; i < 16; ++i) {
    l ^= ctx.P[i];
    r ^= F(ctx, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= ctx.P[16];
  l ^= ctx.P[17];
  left = l;
  right = r;
}

void Bf_Decipher(const BfContextRec& ctx, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left, r = right;
  for (int i = 17; i > 1; --i) {
    l ^= ctx.P[i];
    r ^= F(ctx, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= ctx.P[1];
  l ^= ctx.P[0];
  left = l;
  right = r;
}

void Hex_Decode(const char* text, std::size_t n, unsigned char* out) {
  auto value = [](char ch) -> unsigned {
    const unsigned c = static_cast<unsigned char>(ch);
    return (c >= 'A' && c <= 'F') ? c - 55u : (c - 48u) & 0xFFu;
  };
  for (std::size_t i = 0; i + 1 < n; i += 2)
    out[i / 2] = static_cast<unsigned char>((16u * value(text[i]) + value(text[i + 1])) & 0xFFu);
}

int Ini_Decipher(const std::string& hex, std::string& out, const char* key) {
  Bf_KeySchedule(BfContext, reinterpret_cast<const unsigned char*>(key), std::strlen(key));
  const std::size_t groups = hex.size() / 16;  // digits after the last whole group are ignored
  out.assign(groups * 8, '\0');
  for (std::size_t g = 0; g < groups; ++g) {
    unsigned char b[8];
    Hex_Decode(hex.data() + 16 * g, 16, b);
    std::uint32_t left = LoadLE(b), right = LoadLE(b + 4);
    Bf_Decipher(BfContext, left, right);
    StoreLE(left, &out[8 * g]);
    StoreLE(right, &out[8 * g + 4]);
  }
  Wipe(BfContext);
  return 1;
}

std::string Ini_Encipher(const std::string& plain) {
  static const char kDigits[] = "0123456789ABCDEF";
  Bf_KeySchedule(BfContext, reinterpret_cast<const unsigned char*>(kIniKey), std::strlen(kIniKey));
  std::string padded = plain;
  padded.resize((plain.size() + 7) / 8 * 8, '\0');
  std::string hex;
  hex.reserve(padded.size() * 2);
  for (std::size_t off = 0; off < padded.size(); off += 8) {
    const auto* b = reinterpret_cast<const unsigned char*>(padded.data() + off);
    std::uint32_t left = LoadLE(b), right = LoadLE(b + 4);
    Bf_Encipher(BfContext, left, right);
    char block[8];
    StoreLE(left, block);
    StoreLE(right, block + 4);
    for (char c : block) {
      const auto u = static_cast<unsigned char>(c);
      hex += kDigits[u >> 4];
      hex += kDigits[u & 0x0F];
    }
  }
  Wipe(BfContext);
  explicit_bzero(padded.data(), padded.size());
  return hex;
}
