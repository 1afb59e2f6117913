// Host records exchanged between the statements and the job's logic.
//
// Plain aggregates of fixed-capacity NUL-terminated texts and signed 32-bit integers,
// fields named after their database columns. A capacity counts the terminator, so a
// field of capacity 9 holds at most 8 characters. `Rec_Clear` empties a record whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

struct TagSatz {
  char TagPnr[9];
  char TagTag[9];
  char TagVon[9];
  char TagUhr[7];
  char TagBis[9];
  char TagEnd[7];
  int32_t TgbSol;
  char TagTgb[4];
  int32_t TagTgs;
  char TagHtv[4];
  int32_t TagHvs;
  char TagHtn[4];
  int32_t TagHns;
};

struct BchSatz {
  char BchPnr[9];
  char BchVon[9];
  char BchUhr[7];
  int32_t BchFkt;
  char BchBis[9];
  char BchVws[9];
  char BchFcd[4];
  int32_t BchZwt;
  char BchAbt[16];
  char BchKst[31];
  char BchKtr[7];
  char BchKrt[5];
  char BchAzt[6];
  char BchVra[14];
  int32_t BchTxt;
  int32_t BchSta;
  char BchErf[51];
  char BchTrm[256];
};

struct FcdSatz {
  char FcdNum[4];
  int32_t FcdTyp;
  int32_t FcdZwt;
  int32_t FcdStd;
  int32_t FcdSol;
  int32_t FcdPri;
  int32_t FcdGpu;
  int32_t FcdFcd;
  char FcdFlg[4];
};

struct AzvSatz {
  char AzvNum[6];
  char ZtgVon[9];
  int32_t AzvSol;
  int32_t AzvSo2;
  int32_t AzvVhs;
  int32_t AzvHso;
  int32_t AzvHs2;
  int32_t AzvHtv;
};

// Every text empty, every number 0.
template <typename Rec>
inline void Rec_Clear(Rec& rec) {
  std::memset(&rec, 0, sizeof rec);
}

// Copies `src` into a text field of capacity `cap`: at most cap - 1 characters, always
// terminated. Returns the number of characters copied.
inline std::size_t Txt_Set(char* dst, std::size_t cap, std::string_view src) {
  if (cap == 0) return 0;
  const std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  if (n > 0) std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}
template <std::size_t N>
inline std::size_t Txt_Set(char (&dst)[N], std::string_view src) {
  return Txt_Set(dst, N, src);
}
