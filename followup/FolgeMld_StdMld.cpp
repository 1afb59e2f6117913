#include "followup/FolgeMld_StdMld.h"

#include "db/parveksql.h"
#include "followup/Bch_PrioCheck.h"
#include "followup/Mld_Generate.h"
#include "run/ground/RunLog.h"

namespace {

bool IsCarriedHourMessage(int32_t fkt) { return fkt == 23 || fkt == 24; }

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
  if (flg != 0) return 0;
  if (fcd.FcdNum[0] == '\0') return 0;  // the type has no follow-up
  Dbg_Printf("Meldungsart (Satz) zu Folgemld %s lesen!\n", fcd.FcdNum);
  const int read = Fcd_Read(fcd);
  if (read != 0) {
    Log_Entry("Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen ", "RC:%d Pnr:%s Fcd:%s\n", read,
              tag.TagPnr, fcd.FcdNum);
  }
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
  if (rc == 0 && IsCarriedHourMessage(bch.BchFkt)) result = StdMld_Carry(tag, bch);
  BchStdMld_Close();
  return result;
}
