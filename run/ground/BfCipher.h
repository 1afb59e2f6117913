// Settings cipher: Blowfish (64-bit blocks, 16 rounds) under one fixed key, values written
// as upper-case hexadecimal text, 16 digits per block, each block on its own (ECB).
//
// The byte order differs from the published test vectors: the 8 bytes of a block form the
// left half from bytes 0-3 and the right half from bytes 4-7, each LITTLE-endian (the first
// byte is the least significant). A value enciphered with big-endian halves does not
// decipher here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The Blowfish key schedule state: P-array, then the four S-boxes (4,168 bytes).
struct BfContextRec {
  std::uint32_t P[18];
  std::uint32_t S[4][256];
};
static_assert(sizeof(BfContextRec) == 4168, "BfContextRec must be exactly 4,168 bytes");

// The one process-wide context. Filled at the start of every Ini_Decipher / Ini_Encipher
// call and wiped to all zero bytes at its end; between calls it holds no key material.
// Not reentrant: the job uses it from its one thread only.
extern BfContextRec BfContext;

// The fixed key of the settings file: 7 key bytes, no terminating byte.
inline constexpr const char* kIniKey = "QELMARN";

// Fills `ctx` from the initial tables (pi) and `key_len` key bytes, taken cyclically.
void Bf_KeySchedule(BfContextRec& ctx, const unsigned char* key, std::size_t key_len);
// Encipher / decipher one block held as two 32-bit halves, in place.
void Bf_Encipher(const BfContextRec& ctx, std::uint32_t& left, std::uint32_t& right);
void Bf_Decipher(const BfContextRec& ctx, std::uint32_t& left, std::uint32_t& right);

// Turns the first n characters of `text` into n/2 bytes (an odd last character is not used).
// Each pair (high, low) gives (16*value(high) + value(low)) mod 256, where value(c) is c-55
// for 'A'..'F' and (c-48) mod 256 for every other character: lower-case letters and other
// characters are not refused, they give other bytes. `text` must hold at least n characters.
void Hex_Decode(const char* text, std::size_t n, unsigned char* out);

// Deciphers the hex text with `key` into `out`: 8 bytes for every whole group of 16 digits,
// all of them (zero bytes included; a reader takes the text up to the first zero byte).
// Digits after the last whole group are ignored, so a text shorter than 16 gives nothing.
// Wipes BfContext before returning. Always returns 1.
int Ini_Decipher(const std::string& hex, std::string& out, const char* key);

// The inverse, for whatever writes settings files: the plaintext padded with zero bytes to a
// multiple of 8 (no padding when it fills its blocks exactly; empty gives empty), enciphered
// with the fixed key, as upper-case hex. Ini_Decipher(Ini_Encipher(p)) gives p followed by
// the padding. Wipes BfContext before returning.
std::string Ini_Encipher(const std::string& plain);
