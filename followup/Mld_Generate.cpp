#include "followup/Mld_Generate.h"

#include "db/parveksql.h"
#include "run/ground/Decision.h"
#include "run/ground/RunLog.h"

namespace {

// The accounting day's follow-up booking lies at midnight.
constexpr const char* kFolgeUhr = "000000";

void Mld_SetPair(TagSatz& tag, const FcdSatz& fcd, int32_t value) {
  switch (fcd.FcdTyp) {
    case 1:
      Txt_Set(tag.TagTgb, fcd.FcdNum);
      tag.TagTgs = value;
      break;
    case 2:
      Txt_Set(tag.TagHtv, fcd.FcdNum);
      tag.TagHvs = value;
      break;
    case 3:
      Txt_Set(tag.TagHtn, fcd.FcdNum);
      tag.TagHns = value;
      break;
    default: break;  // no pair for other kinds; the update still runs
  }
}

int Mld_Insert(const TagSatz& tag, BchSatz& bch, const FcdSatz& fcd) {
  Txt_Set(bch.BchPnr, tag.TagPnr);
  Txt_Set(bch.BchVon, tag.TagTag);
  Txt_Set(bch.BchUhr, kFolgeUhr);
  Txt_Set(bch.BchFcd, fcd.FcdNum);
  bch.BchFkt = fcd.FcdTyp;
  const int rc = Bch_Insert(bch);
  Log_Entry(rc != 0 ? "Fehler(Bch_Insert): Buchung einpflegen! " : "Info: Buchung eingepflegt! ",
            "RC:%d Pnr:%s Tag:%s Fkt:%d Fcd:%s\n", rc, bch.BchPnr, bch.BchVon, bch.BchFkt,
            bch.BchFcd);
  if (Decision_On())
    Decision_Note(tag.TagPnr, {"booking", "insert",
                               rc == 0 ? "booked" : rc == kUniqueKey ? "existed" : "failed",
                               {{"BchVon", bch.BchVon}, {"BchUhr", bch.BchUhr},
                                {"BchFkt", bch.BchFkt}, {"BchFcd", bch.BchFcd}, {"rc", rc}}});
  return rc;
}

// What the day record received, or why it was left alone.
void Mld_NoteDay(const TagSatz& tag, const char* outcome, const FcdSatz& fcd, int rc) {
  if (!Decision_On()) return;
  Decision_Note(tag.TagPnr, {"booking", "day-record", outcome,
                             {{"TagTag", tag.TagTag}, {"FcdTyp", fcd.FcdTyp},
                              {"TagTgb", tag.TagTgb}, {"TagTgs", tag.TagTgs},
                              {"TagHtv", tag.TagHtv}, {"TagHvs", tag.TagHvs},
                              {"TagHtn", tag.TagHtn}, {"TagHns", tag.TagHns}, {"rc", rc}}});
}

// Whether the target value is taken from the working-time plan (FcdZwt 1 to 4 and 15 to 18).
bool Mld_ValueNeedsPlan(const FcdSatz& fcd) {
  return (fcd.FcdZwt >= 1 && fcd.FcdZwt <= 4) || (fcd.FcdZwt >= 15 && fcd.FcdZwt <= 18);
}
constexpr int kNoRows = 1403;

// The day record is left alone when what it would say is not so: the booking failed with an
// error (other than -1, the booking exists already), or the working-time plan that the target
// value is taken from could not be read because of an error (the value would be made up).
void Mld_SkipUpdate(const TagSatz& tag, const FcdSatz& fcd, int cause) {
  Log_Entry("Fehler(Tag_Update): TagesSatz nicht aktualisiert! ", "RC:%d Pnr:%s Tag:%s\n", cause,
            tag.TagPnr, tag.TagTag);
  Mld_NoteDay(tag, "left-alone", fcd, cause);
}

}  // namespace

int Mld_Generate(TagSatz& tag, BchSatz& bch, const FcdSatz& fcd) {
  Dbg_Printf("Beginn Meldung generieren!\n");
  int result = 0;
  if (fcd.FcdSol == 1 && tag.TgbSol <= 0) {
    // Written whenever the run log is open, whatever RunFlags.verbose says.
    Log_EntryAlways("Info: Folgemeldungsart mit Sollzeitprüfung! ", "Pnr:%s Tag:%s ParVek:%s\n",
                    tag.TagPnr, tag.TagTag, fcd.FcdNum);
    if (Decision_On())
      Decision_Note(tag.TagPnr, {"booking", "target-check", "refused",
                                 {{"FcdNum", fcd.FcdNum}, {"FcdSol", fcd.FcdSol},
                                  {"TgbSol", tag.TgbSol}}});
  } else {
    result = 1;
    const int inserted = Mld_Insert(tag, bch, fcd);
    if (inserted != 0 && inserted != kUniqueKey) {
      Mld_SkipUpdate(tag, fcd, inserted);
    } else {
      // Without a working-time plan (1403) the values stay as cleared here: the target value
      // is then formed from zeros, never from undefined memory.
      AzvSatz azv;
      Rec_Clear(azv);
      int rc = Azv_Read(tag.TagPnr, tag.TagTag, azv);
      if (rc != 0) {
        Log_Entry("Fehler(Azv_Read): Arbeitszeitvorgaben lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
                  tag.TagPnr, tag.TagTag);
        Rec_Clear(azv);
      }
      const bool needed = Mld_ValueNeedsPlan(fcd);
      if (Decision_On())
        Decision_Note(tag.TagPnr, {"booking", "plan",
                                   rc == 0 ? "found" : rc == kNoRows ? "none" : "read-failed",
                                   {{"AzvNum", azv.AzvNum}, {"needed", needed ? 1 : 0},
                                    {"AzvSol", azv.AzvSol}, {"AzvSo2", azv.AzvSo2},
                                    {"AzvVhs", azv.AzvVhs}, {"AzvHso", azv.AzvHso},
                                    {"AzvHs2", azv.AzvHs2}, {"AzvHtv", azv.AzvHtv},
                                    {"rc", rc}}});
      if (rc != 0 && rc != kNoRows && needed) {
        Mld_SkipUpdate(tag, fcd, rc);
      } else {
        const int32_t value = Mld_TargetValue(fcd, azv);
        if (Decision_On())
          Decision_Note(tag.TagPnr, {"booking", "target-value", "computed",
                                     {{"FcdNum", fcd.FcdNum}, {"FcdZwt", fcd.FcdZwt},
                                      {"FcdTyp", fcd.FcdTyp}, {"FcdStd", fcd.FcdStd},
                                      {"value", value}}});
        Mld_SetPair(tag, fcd, value);
        rc = Tag_Update(tag);
        Log_Entry(rc != 0 ? "Fehler(Tag_Update): TagesSatz aktualisieren! "
                          : "Info: TagesSatz aktualisiert! ",
                  "RC:%d Pnr:%s Tag:%s\n", rc, tag.TagPnr, tag.TagTag);
        Mld_NoteDay(tag, rc != 0 ? "failed" : "written", fcd, rc);
      }
    }
  }
  Dbg_Printf("Ende Meldung generieren!\n");
  return result;
}
