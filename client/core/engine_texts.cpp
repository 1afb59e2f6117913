// Each engine's texts of the statement table (client/core/engine_texts.h).
#include "client/core/engine_texts.h"

#include <array>
#include <string>

namespace pvc {
namespace {

constexpr auto kPgStatements = [] {
  std::array<PgStatement, kOpCount> a{};
  for (std::size_t i = 0; i < kOpCount; ++i)
    a[i] = {kOps[i].op, kOps[i].postgres, kOps[i].pg_derived};
  return a;
}();

}  // namespace

const PgStatement& Pg_Statement(Op op) { return kPgStatements[static_cast<size_t>(op)]; }

std::vector<Cell> Pg_DerivedValues(Op op, const std::vector<Bind>& in) {
  std::vector<Cell> out;
  if (Pg_Statement(op).derived != 2 || in.size() != 3) return out;
  // The days of the two 14-digit bounds, where they begin with a date: a booking inside the
  // bounds lies on one of those days or between them.
  for (size_t i : {size_t{1}, size_t{2}}) {
    Cell c;
    const std::string& bound = in[i].text;
    c.null = !(bound.size() >= 8 && ToDbDate(bound.substr(0, 8), false, c.text) == 0);
    if (c.null) c.text.clear();
    out.push_back(std::move(c));
  }
  return out;
}

const char* Pg_PagedStatement(Op op) { return Op_Info(op).pg_paged; }

const PgCounted* Pg_Counted(Op op) {
  static constexpr PgCounted kTagPrev = {kPgTagPrevCounted, 2, 6};
  return op == Op::TagPrev ? &kTagPrev : nullptr;
}

std::vector<Read> Pg_CountedReads(Op op, const Row& row) {
  if (op != Op::TagPrev || row.size() < 6) return {};
  // A day record: TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd first (a NULL as "").
  const auto text = [&row](size_t i) { return row[i].null ? std::string() : row[i].text; };
  return {{Op::BchCountTagMld, {Bind::Txt(text(0)), Bind::Dat(text(1))}},
          {Op::BchCountStdMld,
           {Bind::Txt(text(0)), Bind::Txt(text(2) + text(3)), Bind::Txt(text(4) + text(5))}}};
}

}  // namespace pvc
