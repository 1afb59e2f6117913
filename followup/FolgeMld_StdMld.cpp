#include "followup/FolgeMld_StdMld.h"

#include "db/parveksql.h"
#include "followup/Bch_PrioCheck.h"
#include "followup/FolgeMld_Note.h"
#include "followup/Mld_Generate.h"
#include "run/ground/RunLog.h"

namespace {

bool IsCarriedHourMessage(int32_t fkt) { return fkt == 23 || fkt == 24; }

constexpr const char* kStep = "hour-message";

// Everything after the fetch of the newest booking; the caller closes the cursor.
int StdMld_Carry(TagSatz& tag, BchSatz& bch) {
  FcdSatz fcd;
  Rec_Clear(fcd);
  Dbg_Printf("Folgemeldung zu Mld %s einlesen!\n", bch.BchFcd);
  const int flg = Fcd_ReadFlg(bch.BchFcd, fcd.FcdNum);
  if (flg < 0) {
    Log_Entry("Fehler(Read): Folgemeldung(Fcd) zur Mld lesen ", "RC:%d Pnr:%s Fcd:%s\n", flg,
              tag.TagPnr, bch.BchFcd);
  }
  if (flg != 0) {
    FolgeMld_Note(kStep, tag, bch, flg < 0 ? "read-failed" : "type-unknown-or-retired", fcd, -1,
                  flg);
    return 0;
  }
  if (fcd.FcdNum[0] == '\0') {  // the type has no follow-up
    FolgeMld_Note(kStep, tag, bch, "no-follow-up", fcd, -1, 0);
    return 0;
  }
  Dbg_Printf("Meldungsart (Satz) zu Folgemld %s lesen!\n", fcd.FcdNum);
  const int read = Fcd_Read(fcd);
  if (read != 0) {
    Log_Entry("Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen ", "RC:%d Pnr:%s Fcd:%s\n", read,
              tag.TagPnr, fcd.FcdNum);
  }
  FolgeMld_Note(kStep, tag, bch, read < 0 ? "follow-up-read-failed" : "carried", fcd, read,
                read < 0 ? read : 0);
  if (read < 0) return 0;  // unread because of an error: not generated
  if (Bch_PrioCheck(tag, fcd) == 0) return 0;
  return Mld_Generate(tag, bch, fcd) != 0 ? 1 : 0;
}

}  // namespace

int FolgeMld_StdMld(TagSatz& tag, const TagSatz& vortag) {
  BchSatz bch;
  Rec_Clear(bch);
  int rc = BchStdMld_Open(vortag.TagPnr, vortag.TagTag);
  if (rc != 0) {
    Log_Entry("Fehler(Cur_open): Buchungen(StdMld) lesen! ", "RC:%d Pnr:%s Tag:%s\n", rc,
              vortag.TagPnr, vortag.TagTag);
  }
  if (Stmt_ConnectionLost() != 0) {
    BchStdMld_Close();
    return 0;
  }
  rc = BchStdMld_Fetch(bch);  // only the newest booking of the window counts
  if (rc == kKeyTooLong) {
    Log_Entry("Fehler(Cur_Read): Buchungen(StdMld) Schlüssel zu lang, übergangen! ",
              "RC:%d Pnr:%s Tag:%s\n", rc, vortag.TagPnr, vortag.TagTag);
  } else if (rc != 0 && rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(StdMld) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
              vortag.TagPnr, vortag.TagTag);
  }
  int result = 0;
  if (rc == 0 && IsCarriedHourMessage(bch.BchFkt)) {
    result = StdMld_Carry(tag, bch);
  } else {
    FcdSatz none;
    Rec_Clear(none);
    const char* outcome = rc == 0             ? "not-an-hour-message"
                          : rc == kNoMoreRows ? "none-in-frame"
                          : rc == kKeyTooLong ? "key-too-long"
                                              : "read-failed";
    if (rc != 0) Rec_Clear(bch);
    FolgeMld_Note(kStep, tag, bch, outcome, none, -1, rc == kNoMoreRows ? 0 : rc);
  }
  BchStdMld_Close();
  return result;
}
