#include "scan/Vortag_Search.h"

#include "db/parveksql.h"
#include "run/RunLog.h"
#include "scan/Tag_Dump.h"

namespace {

// FcdFcd of a message type whose day may be passed over once although it has no follow-up.
constexpr int32_t kPassOverFcd = 24;

enum class Found { None, DayMessages, HourMessages };

// Decides on one fetched day; `stop` is set when the search ends here with nothing found.
Found Vortag_Decide(const TagSatz& vortag, bool& passed_over, bool& stop) {
  int32_t count = 0;
  int rc = Bch_CountTagMld(vortag, count);
  if (rc == 0 && count != 0) {
    FcdSatz fcd;
    Rec_Clear(fcd);
    Txt_Set(fcd.FcdNum, vortag.TagTgb);
    Fcd_Read(fcd);  // a failed read leaves no follow-up code and FcdFcd 0
    if (fcd.FcdFlg[0] != '\0') return Found::DayMessages;
    if (passed_over || fcd.FcdFcd != kPassOverFcd) {
      stop = true;
      return Found::None;
    }
    passed_over = true;
  }
  rc = Bch_CountStdMld(vortag, count);
  if (rc == 0 && count != 0) return Found::HourMessages;
  return Found::None;
}

}  // namespace

int Vortag_Search(const char* pnr, const char* day, TagSatz& vortag) {
  int result = 0;
  bool passed_over = false;
  TagPrev_Open(pnr, day);  // a failed open shows as a failed first fetch
  while (TagPrev_Fetch(vortag) == 0) {
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
  TagPrev_Close();
  return result;
}
