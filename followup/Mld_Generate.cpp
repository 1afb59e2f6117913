#include "followup/Mld_Generate.h"

#include "db/parveksql.h"
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
  return rc;
}

// Whether the target value is taken from the working-time plan (FcdZwt 1 to 4 and 15 to 18).
bool Mld_ValueNeedsPlan(const FcdSatz& fcd) {
  return (fcd.FcdZwt >= 1 && fcd.FcdZwt <= 4) || (fcd.FcdZwt >= 15 && fcd.FcdZwt <= 18);
}
constexpr int kNoRows = 1403;

// The day record is left alone when what it would say is not so: the booking failed with an
// error (other than -1, the booking exists already), or the working-time plan that the target
// value is taken from could not be read because of an error (the value would be made up).
void Mld_SkipUpdate(const TagSatz& tag, int cause) {
  Log_Entry("Fehler(Tag_Update): TagesSatz nicht aktualisiert! ", "RC:%d Pnr:%s Tag:%s\n", cause,
            tag.TagPnr, tag.TagTag);
}

}  // namespace

int Mld_Generate(TagSatz& tag, BchSatz& bch, const FcdSatz& fcd) {
  Dbg_Printf("Beginn Meldung generieren!\n");
  int result = 0;
  if (fcd.FcdSol == 1 && tag.TgbSol <= 0) {
    // Written whenever the run log is open, whatever RunFlags.verbose says.
    Log_EntryAlways("Info: Folgemeldungsart mit Sollzeitprüfung! ", "Pnr:%s Tag:%s ParVek:%s\n",
                    tag.TagPnr, tag.TagTag, fcd.FcdNum);
  } else {
    result = 1;
    const int inserted = Mld_Insert(tag, bch, fcd);
    if (inserted != 0 && inserted != kUniqueKey) {
      Mld_SkipUpdate(tag, inserted);
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
      if (rc != 0 && rc != kNoRows && Mld_ValueNeedsPlan(fcd)) {
        Mld_SkipUpdate(tag, rc);
      } else {
        Mld_SetPair(tag, fcd, Mld_TargetValue(fcd, azv));
        rc = Tag_Update(tag);
        Log_Entry(rc != 0 ? "Fehler(Tag_Update): TagesSatz aktualisieren! "
                          : "Info: TagesSatz aktualisiert! ",
                  "RC:%d Pnr:%s Tag:%s\n", rc, tag.TagPnr, tag.TagTag);
      }
    }
  }
  Dbg_Printf("Ende Meldung generieren!\n");
  return result;
}
