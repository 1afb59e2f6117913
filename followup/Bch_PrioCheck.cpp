#include "followup/Bch_PrioCheck.h"

#include <cstdio>

#include "db/parveksql.h"
#include "run/ground/Decision.h"
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

constexpr const char* kStep = "ranking";

// One competing booking weighed against the follow-up `fcd`; its type's priority `pb` where read.
void Prio_Note(const TagSatz& tag, const BchSatz& bch, const FcdSatz& fcd, const char* outcome,
               int32_t pb, int rc) {
  Decision_Note(tag.TagPnr, {kStep, "competitor", outcome,
                             {{"BchVon", bch.BchVon}, {"BchUhr", bch.BchUhr},
                              {"BchFkt", bch.BchFkt}, {"BchFcd", bch.BchFcd}, {"FcdPri", pb},
                              {"follow_up", fcd.FcdNum}, {"follow_up_FcdPri", fcd.FcdPri},
                              {"FcdGpu", fcd.FcdGpu}, {"FcdSol", fcd.FcdSol},
                              {"TgbSol", tag.TgbSol}, {"rc", rc}}});
}

// The end of the walk when no booking decided: `rc` 1403 nothing competes, else a failed read.
void Prio_NoteEnd(const TagSatz& tag, const FcdSatz& fcd, int rc, int32_t walked) {
  if (Decision_On())
    Decision_Note(tag.TagPnr, {kStep, "end", rc == kNoMoreRows ? "nothing-competes" : "read-failed",
                               {{"follow_up", fcd.FcdNum}, {"bookings", walked}, {"rc", rc}}});
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
  if (Decision_On())
    Decision_Note(tag.TagPnr,
                  {kStep, "cancellation",
                   upd != 0 ? "failed" : deleted_ran ? "cancelled-after-deleting-old" : "cancelled",
                   {{"BchFcd", bch.BchFcd}, {"BchUhr", bch.BchUhr}, {"rc", upd},
                    {"delete_rc", del}, {"attempt", attempt}}});
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
    Prio_NoteEnd(tag, fcd, rc, 0);
    BchAbrTag_Close();
    return 0;
  }
  BchSatz bch;
  FcdSatz bch_fcd;
  Rec_Clear(bch);
  const bool on = Decision_On();
  int32_t walked = 0;
  while ((rc = BchAbrTag_Fetch(bch)) == 0) {
    ++walked;
    if (bch.BchFcd[0] == '\0') {
      if (on) Prio_Note(tag, bch, fcd, "no-code-ignored", 0, 0);
      continue;
    }
    Rec_Clear(bch_fcd);
    Txt_Set(bch_fcd.FcdNum, bch.BchFcd);
    const int read = Fcd_Read(bch_fcd);
    if (read != 0) {
      Log_Entry("Fehler(Read): Meldungsartsatz(Fcd) zur BchMld lesen ", "RC:%d Pnr:%s Fcd:%s\n",
                read, tag.TagPnr, bch.BchFcd);
      if (on) Prio_Note(tag, bch, fcd, read < 0 ? "read-failed-blocks" : "no-type-ignored", 0, read);
      if (read < 0) {
        BchAbrTag_Close();
        return 0;
      }
      continue;  // a type that does not exist is passed over
    }
    const bool tie = bch_fcd.FcdPri == fcd.FcdPri;
    switch (Prio_Weigh(bch_fcd.FcdPri, fcd)) {
      case Weigh::Blocks:
        Log_Entry("Info: (Fcd) in BchSatz hat höhere Priorität ", "Pnr:%s Tag:%s Fcd:%s\n",
                  tag.TagPnr, tag.TagTag, bch.BchFcd);
        if (on) Prio_Note(tag, bch, fcd, tie ? "tie-rule-blocks" : "ranks-higher-blocks", bch_fcd.FcdPri, 0);
        BchAbrTag_Close();
        return 0;
      case Weigh::Yields: {
        // Under the target-time check nothing is cancelled: the booking generation refuses
        // the follow-up by the same test.
        const bool kept = fcd.FcdSol == 1 && tag.TgbSol <= 0;
        if (on)
          Prio_Note(tag, bch, fcd,
                    kept  ? "kept-under-target-check"
                    : tie ? "tie-rule-cancels"
                          : "ranks-lower-cancels",
                    bch_fcd.FcdPri, 0);
        if (!kept) Prio_Storno(tag, bch);
        BchAbrTag_Close();
        return 1;
      }
      case Weigh::PassOver:
        if (on) Prio_Note(tag, bch, fcd, "tie-rule-ignored", bch_fcd.FcdPri, 0);
        break;
    }
  }
  if (rc != kNoMoreRows) {
    Log_Entry("Fehler(Cur_Read): Buchungen(TagesMld AbrTag) lesen ", "RC:%d Pnr:%s Tag:%s\n", rc,
              tag.TagPnr, tag.TagTag);
    Prio_NoteEnd(tag, fcd, rc, walked);
    BchAbrTag_Close();
    return 0;
  }
  Prio_NoteEnd(tag, fcd, rc, walked);
  BchAbrTag_Close();
  return 1;
}
