#include "scan/Vortag_Search.h"

#include "db/parveksql.h"
#include "run/ground/Decision.h"
#include "run/ground/RunLog.h"
#include "scan/Tag_Dump.h"

namespace {

// FcdFcd of a message type whose day may be passed over once although it has no follow-up.
constexpr int32_t kPassOverFcd = 24;

enum class Found { None, DayMessages, HourMessages };

// A read that failed with an error, not for want of rows: its answer is unknown, so the search
// must not go on as if the day had no messages (it could walk on to an older day and carry
// that one's messages onto the accounting day).
bool Failed(int rc) { return rc < 0; }

void Vortag_LogError(const char* message, int rc, const TagSatz& vortag) {
  Log_Entry(message, "RC:%d Pnr:%s Tag:%s\n", rc, vortag.TagPnr, vortag.TagTag);
}

// What the search saw of one day, for the decision it reports: -1 where it did not look.
struct DayLook {
  int32_t day_messages = -1;
  int32_t hour_messages = -1;
  int type_rc = -1;  // the day code's type read: 0 found, 1403 none
  FcdSatz fcd{};
  int rc = 0;              // a read that failed
  const char* read = "";   // which
};

void Vortag_Note(const TagSatz& v, const char* outcome, const DayLook& l, bool passed_over) {
  Decision_Note(v.TagPnr,
                {"search", "earlier-day", outcome,
                 {{"TagTag", v.TagTag}, {"TagVon", v.TagVon}, {"TagUhr", v.TagUhr},
                  {"TagBis", v.TagBis}, {"TagEnd", v.TagEnd}, {"day_messages", l.day_messages},
                  {"TagTgb", v.TagTgb}, {"type_found", l.type_rc == 0 ? 1 : 0},
                  {"FcdFlg", l.fcd.FcdFlg}, {"FcdFcd", l.fcd.FcdFcd},
                  {"passed_over", passed_over ? 1 : 0}, {"hour_messages", l.hour_messages},
                  {"rc", l.rc}, {"read", l.read}}});
}

// Decides on one fetched day; `stop` is set when the search ends here with nothing found.
Found Vortag_Decide(const TagSatz& vortag, bool& passed_over, bool& stop) {
  DayLook l;
  const auto ends = [&](const char* outcome, const char* read, int rc) {
    l.rc = rc;
    l.read = read;
    if (Decision_On()) Vortag_Note(vortag, outcome, l, passed_over);
    stop = true;
    return Found::None;
  };
  int32_t count = 0;
  int rc = Bch_CountTagMld(vortag, count);
  if (Failed(rc)) {
    Vortag_LogError("Fehler(Count): Tagesmeldungen zum Vortag zählen ", rc, vortag);
    return ends("read-failed", "count-day-messages", rc);
  }
  l.day_messages = rc == 0 ? count : 0;
  if (rc == 0 && count != 0) {
    FcdSatz& fcd = l.fcd;
    Txt_Set(fcd.FcdNum, vortag.TagTgb);
    // A type that does not exist (1403) has no follow-up code and FcdFcd 0.
    rc = Fcd_Read(fcd);
    l.type_rc = rc;
    if (Failed(rc)) {
      Vortag_LogError("Fehler(Read): Meldungsart(Fcd) zum Vortag lesen ", rc, vortag);
      return ends("read-failed", "day-code-type", rc);
    }
    if (fcd.FcdFlg[0] != '\0') {
      if (Decision_On()) Vortag_Note(vortag, "reference-day-by-day-messages", l, passed_over);
      return Found::DayMessages;
    }
    if (passed_over || fcd.FcdFcd != kPassOverFcd) return ends("stops-no-follow-up", "", 0);
    passed_over = true;
  }
  rc = Bch_CountStdMld(vortag, count);
  if (Failed(rc)) {
    Vortag_LogError("Fehler(Count): Stundenmeldungen zum Vortag zählen ", rc, vortag);
    return ends("read-failed", "count-hour-messages", rc);
  }
  l.hour_messages = rc == 0 ? count : 0;
  const Found found = rc == 0 && count != 0 ? Found::HourMessages : Found::None;
  if (Decision_On())
    Vortag_Note(vortag, found == Found::None ? "walked-past" : "reference-day-by-hour-messages", l,
                passed_over);
  return found;
}

}  // namespace

int Vortag_Search(const char* pnr, const char* day, TagSatz& vortag) {
  int result = 0;
  bool passed_over = false;
  int rc = TagPrev_Open(pnr, day);
  if (rc != 0) {
    Log_Entry("Fehler(Cur_open): Tagsätze(Vortag) lesen! ", "RC:%d Pnr:%s Tag:%s\n", rc, pnr, day);
    if (Decision_On()) Decision_Note(pnr, {"search", "end", "read-failed", {{"rc", rc}}});
    TagPrev_Close();
    return 0;
  }
  bool first = true;
  while ((rc = TagPrev_Fetch(vortag)) == 0) {
    // Most searches end on the first day delivered: its bookings are read with its counts.
    // A search that walks on reads only the counts of each further day.
    Vortag_ReadAhead(vortag, first);
    first = false;
    bool stop = false;
    const Found found = Vortag_Decide(vortag, passed_over, stop);
    if (stop) break;
    if (found == Found::None) continue;
    result = 1;
    if (RunFlags.debug == 1) {
      Dbg_Printf(found == Found::DayMessages ? "\nTag mit Tagesmeldungen gefunden !\n"
                                             : "\nTag mit Stundenmeldungen gefunden !\n");
      Tag_Dump(vortag);
    }
    break;
  }
  // The end of the days is silent; a failed fetch (an over-long key among them) ends the
  // search with nothing found rather than passing a day over.
  if (rc != 0 && rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Tagsätze(Vortag) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc, pnr, day);
  }
  if (rc != 0 && Decision_On())
    Decision_Note(pnr, {"search", "end", rc == kNoMoreRows ? "no-earlier-day" : "read-failed",
                        {{"rc", rc}}});
  TagPrev_Close();
  return result;
}
