// Settings cipher: published Blowfish vectors (big-endian packing), the settings vectors
// (little-endian halves, fixed key), Hex_Decode arithmetic, context wiping, and the initial
// tables checked against freshly computed digits of pi.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run/ground/BfCipher.h"
#include "run/ground/BfTables.h"
#include "run/ground/PiHex.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& hex) {
  std::vector<unsigned char> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char d[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += d[u >> 4];
    out += d[u & 15];
  }
  return out;
}

std::uint32_t BE(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
         static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

bool ContextIsZero() {
  const auto* p = reinterpret_cast<const unsigned char*>(&BfContext);
  for (std::size_t i = 0; i < sizeof BfContext; ++i)
    if (p[i] != 0) return false;
  return true;
}

struct PublishedVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

const PublishedVector kPublished[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
};

TEST(Blowfish, PublishedVectorsWithBigEndianPacking) {
  for (const auto& v : kPublished) {
    SCOPED_TRACE(v.key);
    const auto key = Bytes(v.key), plain = Bytes(v.plain), cipher = Bytes(v.cipher);
    BfContextRec ctx{};
    Bf_KeySchedule(ctx, key.data(), key.size());
    std::uint32_t l = BE(plain.data()), r = BE(plain.data() + 4);
    Bf_Encipher(ctx, l, r);
    EXPECT_EQ(l, BE(cipher.data()));
    EXPECT_EQ(r, BE(cipher.data() + 4));
    Bf_Decipher(ctx, l, r);
    EXPECT_EQ(l, BE(plain.data()));
    EXPECT_EQ(r, BE(plain.data() + 4));
  }
}

struct SettingsVector {
  const char* hex;
  const char* bytes;  // every deciphered byte, as hex
  const char* text;   // up to the first zero byte
};

const SettingsVector kSettings[] = {
    {"BAC52A811562F100", "73636F7474000000", "scott"},
    {"73965F92C4F83484", "7469676572000000", "tiger"},
    {"732B8CAE451774EC8BE72035981B7852", "73716C6974653A646200000000000000", "sqlite:db"},
    {"C065BE2C0549D204DFC3DB47A879A8BB", "504552534F4E414C2300000000000000", "PERSONAL#"},
    {"D345270E0DBDDD3B", "65786163746C7938", "exactly8"},
    {"1E750D8DD513A906A67376FBAD3945007712EEE99A8D9354",
     "61206D756368206C6F6E6765722070617373776F72642100", "a much longer password!"},
    {"9756D42DCDA7E937", "7800000000000000", "x"},
    {"5E318D4BDBE2518D5E318D4BDBE2518D", "41414141414141414141414141414141", "AAAAAAAAAAAAAAAA"},
    {"B02A4B24D364F34C4BF9FF7AD60A1613", "61620063646566675441494C00000000", "ab"},
    {"bac52a811562f100", "18D78F5279CC84C5", "\x18\xD7\x8FRy\xCC\x84\xC5"},
    {"", "", ""},
};

TEST(IniDecipher, SettingsVectors) {
  for (const auto& v : kSettings) {
    SCOPED_TRACE(v.hex);
    std::string out = "junk";
    EXPECT_EQ(Ini_Decipher(v.hex, out, kIniKey), 1);
    EXPECT_EQ(Hex(out), v.bytes);
    EXPECT_STREQ(out.c_str(), v.text);
    EXPECT_TRUE(ContextIsZero());
  }
}

TEST(IniDecipher, BlocksAreIndependentAndLetterCaseMatters) {
  std::string one, two, lower;
  Ini_Decipher("BAC52A811562F100", one, kIniKey);
  Ini_Decipher("73965F92C4F83484BAC52A811562F100", two, kIniKey);
  EXPECT_EQ(two.substr(8), one);  // second block deciphers as it would alone
  Ini_Decipher("BAC52A811562F100", one, kIniKey);
  Ini_Decipher("bac52a811562F100", lower, kIniKey);
  EXPECT_NE(one, lower);
}

TEST(IniDecipher, IncompleteLastGroupIsIgnored) {
  // Whole 16-digit groups only; what follows is never read and never deciphered.
  const struct {
    std::string hex;
    std::string text;
  } cases[] = {
      {"BAC52A811562F10", ""},
      {"\n", ""},
      {"BAC52A811562F100"
       "7",
       "scott"},
      {"73965F92C4F83484"
       "BAC52A811562F1",
       "tiger"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    std::string out;
    Ini_Decipher(c.hex, out, kIniKey);
    EXPECT_EQ(out.size(), c.hex.size() / 16 * 8);
    EXPECT_STREQ(out.c_str(), c.text.c_str());
    EXPECT_TRUE(ContextIsZero());
  }
}

TEST(IniDecipher, ContextIsZeroEvenWhenTheScheduleWasFilled) {
  // Fill the context, then a call must leave all 4,168 bytes at zero.
  Bf_KeySchedule(BfContext, reinterpret_cast<const unsigned char*>("QELMARN"), 7);
  EXPECT_FALSE(ContextIsZero());
  std::string out;
  Ini_Decipher("", out, kIniKey);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(ContextIsZero());
}

TEST(IniEncipher, RoundTripsAndMatchesVectors) {
  EXPECT_EQ(Ini_Encipher("scott"), "BAC52A811562F100");
  EXPECT_EQ(Ini_Encipher("exactly8"), "D345270E0DBDDD3B");
  EXPECT_EQ(Ini_Encipher(std::string("ab\0cdefgTAIL", 12)), "B02A4B24D364F34C4BF9FF7AD60A1613");
  EXPECT_EQ(Ini_Encipher(""), "");
  EXPECT_TRUE(ContextIsZero());
  for (const std::string plain : {"a", "1234567", "12345678", "123456789", "p;w\xC3\xA4rd\n\r"}) {
    std::string out;
    Ini_Decipher(Ini_Encipher(plain), out, kIniKey);
    EXPECT_EQ(out.size() % 8, 0u);
    EXPECT_STREQ(out.c_str(), plain.c_str());
  }
}

TEST(HexDecode, ExactArithmetic) {
  const struct {
    std::string text;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {"00", {0x00}}, {"FF", {0xFF}},
      {"9A", {0x9A}}, {"ff", {0x96}},   // 'f'-48 = 54: (16*54 + 54) mod 256 = 150
      {"a0", {0x10}},                   // 'a'-48 = 49: 16*49 mod 256 = 16
      {"G0", {0x70}},                   // 'G'-48 = 23: 16*23 mod 256 = 112
      {" 0", {0x00}},                   // ' '-48 mod 256 = 240: 16*240 mod 256 = 0
      {"0 ", {0xF0}}, {"ABC", {0xAB}},  // odd length: last character unused
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<unsigned char> out(c.bytes.size() + 1, 0xEE);
    Hex_Decode(c.text.c_str(), c.text.size(), out.data());
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.bytes);
    EXPECT_EQ(out.back(), 0xEE);  // nothing written beyond n/2 bytes
  }
}

TEST(BfTables, EqualFreshlyComputedDigitsOfPi) {
  const std::vector<std::uint32_t> w = pihex::PiFractionWords(18 + 4 * 256);
  for (std::size_t i = 0; i < 18; ++i) ASSERT_EQ(kBfInitP[i], w[i]) << "P[" << i << "]";
  for (std::size_t b = 0; b < 4; ++b)
    for (std::size_t i = 0; i < 256; ++i)
      ASSERT_EQ(kBfInitS[b][i], w[18 + 256 * b + i]) << "S" << b << "[" << i << "]";
  EXPECT_EQ(kBfInitP[0], 0x243F6A88u);
  EXPECT_EQ(kBfInitS[3][0], 0x3A39CE37u);
}

TEST(BfTables, CheckedInFileIsTheGeneratorsOutput) {
  std::ifstream in(PARVEK_SOURCE_DIR "/run/ground/BfTables.cpp", std::ios::binary);
  ASSERT_TRUE(in.good());
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), pihex::BfTablesSource());
}

}  // namespace
