// The night's decisions, reported where the rules make them: whether a day is worked on, each
// earlier day the reference-day search walks, each message carried on or not, each booking
// weighed against a follow-up, the booking, the target value, the day record and the parameter
// line. Process-wide like the run log: a night installs nothing and every report is one test of
// a pointer; parvekctl installs a listener to explain a person's night or to journal the
// decisions beside the writes.
//
// A decision is named by its step (the part of the night: "day", "search", "day-messages",
// "hour-message", "ranking", "booking", "parameter", "night"), its kind within the step and its
// outcome, all stable words, and carries the inputs that decided it as named texts and numbers
// (named after their database fields where they are fields). The listener gets them while the
// rule runs and copies what it keeps.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

struct DecisionInput {
  const char* key;
  std::string_view text;
  int64_t num = 0;
  bool is_num = false;

  DecisionInput(const char* k, const char* t) : key(k), text(t) {}
  DecisionInput(const char* k, std::string_view t) : key(k), text(t) {}
  DecisionInput(const char* k, int32_t n) : key(k), num(n), is_num(true) {}
  DecisionInput(const char* k, int64_t n) : key(k), num(n), is_num(true) {}
};

struct Decision {
  const char* step;
  const char* kind;
  const char* outcome;
  std::initializer_list<DecisionInput> inputs;
};

// Receives each decision about the person `pnr`; `ctx` is the one given at installation.
using DecisionListener = void (*)(void* ctx, const char* pnr, const Decision& d);

namespace decision_detail {
extern DecisionListener g_listener;
}  // namespace decision_detail

// Installs `listener` (nullptr: none) for every decision from now on; returns the one before.
DecisionListener Decision_Listen(DecisionListener listener, void* ctx);

// Whether anyone listens: the rules build a decision only then. Built without the reports
// (PARVEK_NO_DECISIONS), no rule builds one at all.
inline bool Decision_On() {
#ifdef PARVEK_NO_DECISIONS
  return false;
#else
  return decision_detail::g_listener != nullptr;
#endif
}

// Hands `d` about `pnr` to the listener, when there is one.
void Decision_Note(const char* pnr, const Decision& d);
