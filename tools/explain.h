// One person's night in words: the decisions the rules reported (run/ground/Decision.h), kept
// as JSON steps, rendered as plain English or as one JSON object, and summed up as what the night
// did for the person. parvekctl explain hears them from a preview of the person's day or reads
// them from a night's journal, which records them beside its writes.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run/ground/Decision.h"

// One decision: {"step", "kind", "outcome", "inputs": {name: text or number}}.
using ExplainStep = nlohmann::ordered_json;

// The journal's line of a decision about `pnr` (without its newline): {"p", "s", "k", "o", "i"}
// (keys no other line of a journal has), and back: the one text of a decision, which explain
// also reads what it hears before a night through. False when `text` is no decision line.
std::string Explain_JournalLine(const char* pnr, const Decision& d);
// The same line appended to `line`, without a copy of its own (the journal's buffer).
void Explain_AppendJournalLine(std::string& line, const char* pnr, const Decision& d);
bool Explain_FromJournal(const std::string& text, std::string& pnr, ExplainStep& step);

// What the steps say the night did for the person: {"booked": [{"BchFcd", "BchFkt"}],
// "cancelled": [{"BchFcd", "BchVon", "BchUhr"}], "refused": [{"FcdNum", "why"}],
// "parameter_line": the line or null, "day_record": the six fields written or null}.
nlohmann::ordered_json Explain_Outcome(const std::vector<ExplainStep>& steps);

struct ExplainFrame {
  std::string pnr, day;  // day 'yyyymmdd'
  std::string source;    // what the steps come from, in words
  bool order_is_databases = false;  // before the night: rows of equal rank come in its order
};

// The plain-English explanation: a heading line, the steps under the heading of their part of
// the night, one line each, indented, and the outcome.
std::vector<std::string> Explain_Text(const ExplainFrame& f, const std::vector<ExplainStep>& steps);

// One change line of a journal in words ("Booked KRF (function 1) on ... at ..."), for a journal
// written before journals recorded the reasons.
std::string Explain_WriteText(const nlohmann::ordered_json& write);
