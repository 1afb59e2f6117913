#include "followup/FolgeMld_TagesMld.h"

#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "followup/Bch_PrioCheck.h"
#include "followup/FolgeMld_Note.h"
#include "followup/Mld_Generate.h"
#include "run/ground/Decision.h"
#include "run/ground/RunLog.h"

namespace {

constexpr const char* kStep = "day-messages";

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
  int32_t walked = 0;
  for (;;) {
    rc = BchVortag_Fetch(bch);
    if (rc == kKeyTooLong) {
      // A booking whose key or code does not fit its field is passed over, never cut.
      Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld Vortag) Schlüssel zu lang, übergangen! ",
                "RC:%d Pnr:%s Tag:%s\n", rc, vortag.TagPnr, vortag.TagTag);
      Rec_Clear(fcd);
      FolgeMld_Note(kStep, tag, BchSatz{}, "key-too-long", fcd, -1, rc);
      continue;
    }
    if (rc != 0 || Stmt_ConnectionLost() != 0) break;
    ++walked;
    Rec_Clear(fcd);
    // A type that is not found (1403) has no follow-up and is passed over silently; a read
    // that fails with an error is passed over with an entry.
    rc = Fcd_ReadFlg(bch.BchFcd, fcd.FcdNum);
    if (rc < 0) {
      Log_Entry("Fehler(Read): Folgemeldung(Fcd) zur Mld lesen ", "RC:%d Pnr:%s Fcd:%s\n", rc,
                tag.TagPnr, bch.BchFcd);
    }
    if (rc != 0) {
      FolgeMld_Note(kStep, tag, bch, rc < 0 ? "read-failed" : "type-unknown-or-retired", fcd, -1,
                    rc);
      continue;
    }
    if (fcd.FcdNum[0] == '\0') {  // the type has no follow-up
      FolgeMld_Note(kStep, tag, bch, "no-follow-up", fcd, -1, 0);
      continue;
    }
    const int read = Fcd_Read(fcd);
    if (read != 0) {
      Log_Entry("Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen ", "RC:%d Pnr:%s Fcd:%s\n", read,
                tag.TagPnr, fcd.FcdNum);
    }
    // A follow-up type that does not exist (1403) goes on with its code alone; one that could
    // not be read because of an error is not generated.
    FolgeMld_Note(kStep, tag, bch, read < 0 ? "follow-up-read-failed" : "carried", fcd, read,
                  read < 0 ? read : 0);
    if (read < 0) continue;
    // `bch` becomes the buffer of the new booking; the next fetch fills it again.
    if (Bch_PrioCheck(tag, fcd) != 0 && Mld_Generate(tag, bch, fcd) != 0) generated = 1;
    Db_Commit();
  }
  if (Stmt_ConnectionLost() != 0) rc = kNoMoreRows;  // the scan reports it and ends the night
  if (rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld Vortag) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
              vortag.TagPnr, vortag.TagTag);
  }
  if (Decision_On())
    Decision_Note(tag.TagPnr, {kStep, "end", rc == kNoMoreRows ? "walked" : "read-failed",
                               {{"TagTag", vortag.TagTag}, {"bookings", walked}, {"rc", rc}}});
  BchVortag_Close();
  return generated;
}
