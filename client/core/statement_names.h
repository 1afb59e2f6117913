// The statements' count and kinds (client/core/statements.h), and the names of every
// statement's inputs and outputs: what a recording of the statements names a value by.
#pragma once

#include <cstddef>
#include <string_view>

#include "client/core/statements.h"

namespace pvc {

inline constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::kCount);
constexpr const OpInfo& Op_Info(Op op) { return kOps[static_cast<std::size_t>(op)]; }

// True when `rows` holds one row per statement, in Op order: every table by Op is checked this
// way at compile time.
template <typename T, std::size_t N>
constexpr bool Op_RowsInOrder(const T (&rows)[N]) {
  if (N != kOpCount) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(rows[i].op) != i) return false;
  return true;
}
static_assert(Op_RowsInOrder(kOps), "one row per statement, in Op order");

constexpr bool Op_IsQuery(Op op) {
  return Op_Info(op).kind == OpKind::Cursor || Op_Info(op).kind == OpKind::Select;
}
constexpr bool Op_IsWrite(Op op) { return !Op_IsQuery(op); }

constexpr std::size_t Op_Width(const char* kinds) {
  std::size_t n = 0;
  while (kinds[n] != '\0') ++n;
  return n;
}

// The name of every input (binding order) and every output (select-list order) of a statement,
// separated by single blanks: what a recording of the statements names a value by. Outputs are
// named after the column they read; inputs after the column they are compared with or written
// to, and a second value for the same column gets a suffix (BchFktNeu: the function a booking
// gets; BchFkt: the one that finds it).
struct OpNames {
  Op op;
  const char* in;
  const char* out;
};

inline constexpr const char kTagNames[] =
    "TagPnr TagTag TagVon TagUhr TagBis TagEnd TgbSol TagTgb TagTgs TagHtv TagHvs TagHtn TagHns";
inline constexpr const char kBchNames[] =
    "BchPnr BchVon BchUhr BchFkt BchBis BchVws BchFcd BchZwt BchAbt BchKst BchKtr BchKrt BchAzt "
    "BchVra BchTxt BchSta BchErf BchTrm";
inline constexpr const char kBchRowNames[] =
    "BchPnr BchVon BchUhr BchFkt BchBis BchVws BchFcd BchZwt BchAbt BchKst BchKtr BchKrt BchAzt "
    "BchVra BchTxt BchSta BchErf BchTrm BchDat";
#define PVK_TAG_PAIR_NAMES "TagTgb TagTgs TagHtv TagHvs TagHtn TagHns"

inline constexpr OpNames kOpNames[] = {
    {Op::TagYday, "", kTagNames},
    {Op::TagYdayAt, "TagTag", kTagNames},
    {Op::TagPrev, "TagPnr TagTag", kTagNames},
    {Op::BchTagMld, "BchPnr BchVon", kBchNames},
    {Op::BchStdMld, "TagPnr TagTag", kBchNames},
    {Op::FcdReadFlg, "FcdNum", "FcdFlg"},
    {Op::FcdRead, "FcdNum", "FcdNum FcdTyp FcdZwt FcdStd FcdSol FcdPri FcdGpu FcdFcd FcdFlg"},
    {Op::AzvRead, "ZtgPnr ZtgVon", "AzvNum ZtgVon AzvSol AzvSo2 AzvVhs AzvHso AzvHs2 AzvHtv"},
    {Op::BchCountTagMld, "BchPnr BchVon", "Anzahl"},
    {Op::BchCountStdMld, "BchPnr TagVonUhr TagBisEnd", "Anzahl"},
    {Op::TagUpdate, "TagTgb TagTgs TagHtv TagHvs TagHtn TagHns TagPnr TagTag", ""},
    {Op::BchUpdFkt, "BchFktNeu BchPnr BchVon BchUhr BchFkt", ""},
    {Op::BchDelFkt, "BchPnr BchVon BchUhr BchFkt", ""},
    {Op::BchInsert, "BchPnr BchVon BchUhr BchFkt BchFcd", ""},
    {Op::BchReadFcd, "BchPnr BchVon BchUhr BchFkt", "BchFcd"},
    {Op::Today, "", "Sysdate"},
    {Op::BchReadRow, "BchPnr BchVon BchUhr BchFkt", kBchRowNames},
    {Op::BchInsertRow, kBchRowNames, ""},
    {Op::BchSetFkt, "BchFktNeu BchDat BchErf BchPnr BchVon BchUhr BchFkt", ""},
    {Op::TagReadPairs, "TagPnr TagTag", PVK_TAG_PAIR_NAMES},
    {Op::TagRestore, PVK_TAG_PAIR_NAMES " TagPnr TagTag", ""},
    {Op::DbIdentity, "", "Identity"},
};

// The number of blank-separated words in `names`.
constexpr std::size_t Op_NameCount(const char* names) {
  std::size_t n = 0;
  for (std::size_t i = 0; names[i] != '\0'; ++i)
    if (names[i] != ' ' && (i == 0 || names[i - 1] == ' ')) ++n;
  return n;
}

// The position of `name` among the blank-separated words of `names`; -1 when it is none of them.
constexpr int Op_NameIndex(const char* names, std::string_view name) {
  int index = 0;
  std::size_t i = 0;
  while (names[i] != '\0') {
    std::size_t end = i;
    while (names[end] != '\0' && names[end] != ' ') ++end;
    if (std::string_view(names + i, end - i) == name) return index;
    ++index;
    i = names[end] == ' ' ? end + 1 : end;
  }
  return -1;
}

// The position of the input or output `name` of `op`; -1 when `op` has none of that name.
constexpr int Op_InIndex(Op op, std::string_view name) {
  return Op_NameIndex(kOpNames[static_cast<std::size_t>(op)].in, name);
}
constexpr int Op_OutIndex(Op op, std::string_view name) {
  return Op_NameIndex(kOpNames[static_cast<std::size_t>(op)].out, name);
}

static_assert(Op_RowsInOrder(kOpNames), "names for every statement, in Op order");

// True when every statement has exactly one name per input and per output.
constexpr bool Op_NamesFitKinds() {
  for (std::size_t i = 0; i < kOpCount; ++i)
    if (Op_NameCount(kOpNames[i].in) != Op_Width(kOps[i].in) ||
        Op_NameCount(kOpNames[i].out) != Op_Width(kOps[i].out))
      return false;
  return true;
}
static_assert(Op_NamesFitKinds(), "one name per input and per output of every statement");

}  // namespace pvc
