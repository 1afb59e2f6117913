#include "scan/Vortag_Search.h"

#include "db/parveksql.h"
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

// Decides on one fetched day; `stop` is set when the search ends here with nothing found.
Found Vortag_Decide(const TagSatz& vortag, bool& passed_over, bool& stop) {
  int32_t count = 0;
  int rc = Bch_CountTagMld(vortag, count);
  if (Failed(rc)) {
    Vortag_LogError("Fehler(Count): Tagesmeldungen zum Vortag zählen ", rc, vortag);
    stop = true;
    return Found::None;
  }
  if (rc == 0 && count != 0) {
    FcdSatz fcd;
    Rec_Clear(fcd);
    Txt_Set(fcd.FcdNum, vortag.TagTgb);
    // A type that does not exist (1403) has no follow-up code and FcdFcd 0.
    rc = Fcd_Read(fcd);
    if (Failed(rc)) {
      Vortag_LogError("Fehler(Read): Meldungsart(Fcd) zum Vortag lesen ", rc, vortag);
      stop = true;
      return Found::None;
    }
    if (fcd.FcdFlg[0] != '\0') return Found::DayMessages;
    if (passed_over || fcd.FcdFcd != kPassOverFcd) {
      stop = true;
      return Found::None;
    }
    passed_over = true;
  }
  rc = Bch_CountStdMld(vortag, count);
  if (Failed(rc)) {
    Vortag_LogError("Fehler(Count): Stundenmeldungen zum Vortag zählen ", rc, vortag);
    stop = true;
    return Found::None;
  }
  if (rc == 0 && count != 0) return Found::HourMessages;
  return Found::None;
}

}  // namespace

int Vortag_Search(const char* pnr, const char* day, TagSatz& vortag) {
  int result = 0;
  bool passed_over = false;
  int rc = TagPrev_Open(pnr, day);
  if (rc != 0) {
    Log_Entry("Fehler(Cur_open): Tagsätze(Vortag) lesen! ", "RC:%d Pnr:%s Tag:%s\n", rc, pnr, day);
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
  TagPrev_Close();
  return result;
}
