#include "followup/FolgeMld_TagesMld.h"

#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "followup/Bch_PrioCheck.h"
#include "followup/Mld_Generate.h"
#include "run/RunLog.h"

namespace {
constexpr int kNoMoreRows = 1403;
}  // namespace

int FolgeMld_TagesMld(TagSatz& tag, const TagSatz& vortag) {
  int generated = 0;
  int rc = BchVortag_Open(vortag.TagPnr, vortag.TagTag);
  if (rc != 0) {
    Log_Entry("Fehler(Cur_open): Buchungen(TagesMld Vortag) lesen! ", "RC:%d Pnr:%s Tag:%s\n", rc,
              vortag.TagPnr, vortag.TagTag);
  }
  BchSatz bch;
  FcdSatz fcd;
  Rec_Clear(bch);
  while ((rc = BchVortag_Fetch(bch)) == 0) {
    Rec_Clear(fcd);
    if (Fcd_ReadFlg(bch.BchFcd, fcd.FcdNum) != 0) continue;
    if (fcd.FcdNum[0] == '\0') continue;  // the type has no follow-up
    const int read = Fcd_Read(fcd);
    if (read != 0) {
      Log_Entry("Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen ", "RC:%d Pnr:%s Fcd:%s\n", read,
                tag.TagPnr, fcd.FcdNum);
    }
    // `bch` becomes the buffer of the new booking; the next fetch fills it again.
    if (Bch_PrioCheck(tag, fcd) != 0 && Mld_Generate(tag, bch, fcd) != 0) generated = 1;
    Db_Commit();
  }
  if (rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld Vortag) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
              vortag.TagPnr, vortag.TagTag);
  }
  BchVortag_Close();
  return generated;
}
