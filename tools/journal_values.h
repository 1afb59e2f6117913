// The values of a journal's lines (tools/journal.h) and the statements' values they stand for.
// A text is a JSON string, or {"hex": "..."} when it is no UTF-8; an integer a number; NULL null.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "client/recording.h"

namespace journal {

// The columns of a whole booking, as BchReadRow reads them and BchInsertRow writes them.
extern const std::initializer_list<const char*> kRowNames;

nlohmann::json FromText(const std::string& text);
nlohmann::json FromCell(const pvc::Cell& c);
// An input of kind `kind` (client/statements.h); an empty text is NULL.
nlohmann::json FromBind(const pvc::Bind& b, char kind);
// The text a value stands for: "" for null, the digits of a number.
std::string TextOf(const nlohmann::json& v);

// A booking with every column NULL.
nlohmann::json EmptyRow();
// A booking read by BchReadRow, and the pairs read by TagReadPairs, by column.
nlohmann::json RowOf(const pvc::Row& row);
nlohmann::json PairsOf(const pvc::Row& row);

// The inputs of `op` taken by name from `values`; a missing name is NULL. False (and `why`) for
// a value that does not fit its kind.
bool BindsOf(pvc::Op op, const nlohmann::json& values, std::vector<pvc::Bind>& out,
             std::string& why);
std::vector<pvc::Bind> Binds(pvc::Op op, const nlohmann::json& values);
// The key of BchReadRow, BchDelFkt: BchPnr, BchVon (its date), BchUhr (its time of day) of
// `key` (dates or points in time), and the function.
std::vector<pvc::Bind> KeyBinds(const nlohmann::json& key, const nlohmann::json& fkt);

}  // namespace journal
