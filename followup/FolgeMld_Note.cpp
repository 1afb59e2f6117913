#include "followup/FolgeMld_Note.h"

#include "run/ground/Decision.h"

void FolgeMld_Note(const char* step, const TagSatz& tag, const BchSatz& bch, const char* outcome,
                   const FcdSatz& follow, int type_rc, int rc) {
  if (!Decision_On()) return;
  Decision_Note(tag.TagPnr,
                {step, "booking", outcome,
                 {{"BchVon", bch.BchVon}, {"BchUhr", bch.BchUhr}, {"BchFkt", bch.BchFkt},
                  {"BchFcd", bch.BchFcd}, {"FcdFlg", follow.FcdNum},
                  {"type_found", type_rc == 0 ? 1 : 0}, {"FcdTyp", follow.FcdTyp},
                  {"FcdPri", follow.FcdPri}, {"FcdGpu", follow.FcdGpu},
                  {"FcdSol", follow.FcdSol}, {"FcdZwt", follow.FcdZwt},
                  {"FcdStd", follow.FcdStd}, {"rc", rc}}});
}
