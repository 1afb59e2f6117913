#include "followup/Bch_PrioCheck.h"

#include <cstdio>

#include "db/parveksql.h"
#include "run/ground/RunLog.h"

namespace {

enum class Weigh { Blocks, Yields, PassOver };

// Pb: priority of the competing booking's type; the follow-up's priority and FcdGpu decide.
Weigh Prio_Weigh(int32_t pb, const FcdSatz& fcd) {
  const int32_t pf = fcd.FcdPri;
  if (pb < pf || (pb == pf && fcd.FcdGpu == 0)) return Weigh::Blocks;
  if (pb > pf || (pb == pf && fcd.FcdGpu == 1)) return Weigh::Yields;
  return Weigh::PassOver;
}

// Cancels the competing booking `bch` (function 45), clearing an older cancelled booking at
// the same key out of the way when the first update meets it.
void Prio_Storno(const TagSatz& tag, const BchSatz& bch) {
  int upd = Bch_UpdFkt(bch, kBchFktStorno);
  int attempt = 1;
  bool deleted_ran = false;
  int del = 0;
  if (upd == kUniqueKey) {
    del = Bch_DelFkt(bch, kBchFktStorno);
    deleted_ran = true;
    Log_Entry(
        del != 0 ? "Fehler(Del): Bchsatz(Storno) loeschen " : "Info: BchSatz(Storno) gelöscht ",
        "RC:%d Pnr:%s Tag:%s Fcd:%s Fkt:45 \n", del, tag.TagPnr, tag.TagTag, bch.BchFcd);
    upd = Bch_UpdFkt(bch, kBchFktStorno);
    attempt = 2;
  }
  if (upd != 0) {
    char message[64];
    std::snprintf(message, sizeof message, "Fehler(Upd%d): Akt. BchSatz(Storno) updaten ", attempt);
    Log_Entry(message, "RC:%d Pnr:%s Tag:%s Fcd:%s Fkt:%d\n", upd, tag.TagPnr, tag.TagTag,
              bch.BchFcd, bch.BchFkt);
  }
  if (deleted_ran && del != 0 && del != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen ", "RC:%d Pnr:%s Tag:%s\n", del,
              tag.TagPnr, tag.TagTag);
  }
}

}  // namespace

// A competing booking that cannot be weighed because a read failed with an error (an
// over-long key among them) blocks the follow-up: passing it over could let the follow-up go
// ahead past a booking that would have blocked it.
int Bch_PrioCheck(const TagSatz& tag, const FcdSatz& fcd) {
  int rc = BchAbrTag_Open(tag.TagPnr, tag.TagTag);
  if (rc != 0) {
    Log_Entry("Fehler(Cur_open): Buchungen(TagesMld AbrTag) lesen! ", "RC:%d Pnr:%s Tag:%s\n", rc,
              tag.TagPnr, tag.TagTag);
    BchAbrTag_Close();
    return 0;
  }
  BchSatz bch;
  FcdSatz bch_fcd;
  Rec_Clear(bch);
  while ((rc = BchAbrTag_Fetch(bch)) == 0) {
    if (bch.BchFcd[0] == '\0') continue;
    Rec_Clear(bch_fcd);
    Txt_Set(bch_fcd.FcdNum, bch.BchFcd);
    const int read = Fcd_Read(bch_fcd);
    if (read != 0) {
      Log_Entry("Fehler(Read): Meldungsartsatz(Fcd) zur BchMld lesen ", "RC:%d Pnr:%s Fcd:%s\n",
                read, tag.TagPnr, bch.BchFcd);
      if (read < 0) {
        BchAbrTag_Close();
        return 0;
      }
      continue;  // a type that does not exist is passed over
    }
    switch (Prio_Weigh(bch_fcd.FcdPri, fcd)) {
      case Weigh::Blocks:
        Log_Entry("Info: (Fcd) in BchSatz hat höhere Priorität ", "Pnr:%s Tag:%s Fcd:%s\n",
                  tag.TagPnr, tag.TagTag, bch.BchFcd);
        BchAbrTag_Close();
        return 0;
      case Weigh::Yields:
        // Under the target-time check nothing is cancelled: the booking generation refuses
        // the follow-up by the same test.
        if (!(fcd.FcdSol == 1 && tag.TgbSol <= 0)) Prio_Storno(tag, bch);
        BchAbrTag_Close();
        return 1;
      case Weigh::PassOver: break;
    }
  }
  if (rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
              tag.TagPnr, tag.TagTag);
    BchAbrTag_Close();
    return 0;
  }
  BchAbrTag_Close();
  return 1;
}
