// Fuzz target: the settings cipher fed arbitrary text.
//
// Checks, beyond "no crash, no overrun": Ini_Decipher yields 8 bytes per whole group of 16
// digits and nothing for the rest, Hex_Decode writes exactly n/2 bytes, the key schedule
// state is wiped after every call, and enciphering then deciphering gives the plaintext back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/ground/BfCipher.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

bool ContextWiped() {
  const auto* p = reinterpret_cast<const unsigned char*>(&BfContext);
  for (std::size_t i = 0; i < sizeof BfContext; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The fixed key, as the settings reader uses it.
  std::string out;
  Require(Ini_Decipher(text, out, kIniKey) == 1);
  Require(out.size() == size / 16 * 8);
  Require(ContextWiped());

  // A key taken from the input (up to its first zero byte, at most 56 bytes as Blowfish
  // allows), the empty key included.
  const std::size_t key_len = size == 0 ? 0 : data[0] % 57;
  std::string key(text.substr(0, key_len).c_str());
  std::string out2;
  Require(Ini_Decipher(text, out2, key.c_str()) == 1);
  Require(out2.size() == out.size());
  Require(ContextWiped());

  // Hex_Decode writes n/2 bytes and not one more: a guard byte after them stays untouched.
  std::vector<unsigned char> bytes(size / 2 + 1, 0xA5);
  Hex_Decode(text.data(), size, bytes.data());
  Require(bytes[size / 2] == 0xA5);

  // Round trip through the writer's direction.
  const std::string hex = Ini_Encipher(text);
  Require(ContextWiped());
  Require(hex.size() == (size + 7) / 8 * 16);
  std::string back;
  Ini_Decipher(hex, back, kIniKey);
  Require(back.size() >= size && back.compare(0, size, text) == 0);
  for (std::size_t i = size; i < back.size(); ++i) Require(back[i] == '\0');
  return 0;
}
