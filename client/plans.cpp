#include "client/plans.h"

#include <string>
#include <vector>

#include "client/codes.h"
#include "client/core/tool_statements.h"

namespace pvc {
namespace {

constexpr const char* kDay = "'2024-03-01 00:00:00'";

// A literal of input kind `kind` (client/core/statements.h); the PostgreSQL texts' derived
// values are points in time.
std::string Literal(char kind) {
  switch (kind) {
    case 'I': return "1";
    case 'N': return "'1'";
    case 'D':
    case 'P': return kDay;
    default: return "'P1'";
  }
}

// Literals for the inputs of kinds `in`, then for `derived` values the PostgreSQL text derives.
std::vector<std::string> Literals(const std::string& in, int derived) {
  std::vector<std::string> out;
  for (const char kind : in) out.push_back(Literal(kind));
  for (int i = 0; i < derived; ++i) out.push_back(kDay);
  return out;
}

// The word after `marker` in `line`, without a trailing alias; "" when `marker` is not in it.
std::string After(const std::string& line, const std::string& marker) {
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  size_t from = at + marker.size();
  if (line.compare(from, 6, "TABLE ") == 0) from += 6;  // older SQLite: "SCAN TABLE name"
  size_t to = from;
  while (to < line.size() && line[to] != ' ') ++to;
  return line.substr(from, to - from);
}

}  // namespace

int Plan_Problems(Session& s, std::vector<PlanProblem>& out, std::string& failed) {
  out.clear();
  SessionTools& tools = ToolsOf(s);
  const SessionRoute route = s.Tools() != nullptr ? s.Tools()->Route() : SessionRoute{};
  const bool pg = route.texts == "postgres";
  if (!pg && route.texts != "sqlite") return kInternal;
  if (pg) {
    if (const int rc = tools.ExecScript("SET enable_seqscan = off"); rc != kOk) {
      failed = "SET enable_seqscan";
      return rc;
    }
  }
  int result = kOk;
  for (int i = 0; i < static_cast<int>(Op::kCount); ++i) {
    const OpInfo& info = Op_Info(static_cast<Op>(i));
    if (info.kind == OpKind::Insert) continue;
    const std::string sql =
        pg ? "EXPLAIN " + Sql_WithLiterals(info.postgres, '$', Literals(info.in, info.pg_derived))
           : "EXPLAIN QUERY PLAN " + Sql_WithLiterals(info.sqlite, '?', Literals(info.in, 0));
    std::vector<Row> rows;
    if (const int rc = tools.Query(sql, rows); rc != kOk) {
      failed = info.name;
      result = rc;
      break;
    }
    // PostgreSQL gives the plan's lines in its one column, SQLite its steps in the fourth.
    const size_t column = pg ? 0 : 3;
    PlanProblem p{info.op, "", ""};
    bool steps = false, search = false, sorts = false;
    for (const Row& r : rows) {
      if (r.size() <= column) continue;
      const std::string& line = r[column].text;
      p.plan += line + "\n";
      if (pg) {
        if (p.table.empty()) p.table = After(line, "Seq Scan on ");
        continue;
      }
      // A statement that reads no table, or the engine's own list of its files.
      if (line == "SCAN CONSTANT ROW" || line.rfind("SCAN pragma_", 0) == 0) continue;
      steps = true;
      if (line.rfind("SEARCH ", 0) == 0) search = true;
      if (line.rfind("SCAN ", 0) == 0 && p.table.empty()) p.table = After(line, "SCAN ");
      if (line.find("TEMP B-TREE") != std::string::npos) sorts = true;
    }
    // The yesterday and earlier-days cursors deliver their first row without sorting them all.
    const bool streams =
        info.op == Op::TagYday || info.op == Op::TagYdayAt || info.op == Op::TagPrev;
    if (!p.table.empty() || (steps && (!search || (streams && sorts))))
      out.push_back(std::move(p));
  }
  if (pg) tools.ExecScript("RESET enable_seqscan");
  return result;
}

}  // namespace pvc
