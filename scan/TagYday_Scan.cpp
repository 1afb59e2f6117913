#include "scan/TagYday_Scan.h"

#include <cstdio>
#include <string>

#include "db/parveksql.h"
#include "db/records.h"
#include "followup/FolgeMld_StdMld.h"
#include "followup/FolgeMld_TagesMld.h"
#include "run/RunLog.h"
#include "scan/Tag_Dump.h"
#include "scan/Tgb_Param.h"
#include "scan/Vortag_Search.h"

namespace {

constexpr int kNoMoreRows = 1403;

void Scan_DumpBoth(const char* heading, const TagSatz& tag, const TagSatz& vortag) {
  Dbg_Printf("%s", heading);
  Dbg_Printf("aktueller Tagsatz!!!\n");
  Tag_Dump(tag);
  Dbg_Printf("letzter Tagsatz!!!\n");
  Tag_Dump(vortag);
}

// Writes one parameter line. The line is flushed at once so that a failed write is noticed
// (and logged) with the line it belongs to rather than only when the file is closed.
void Scan_WriteLine(std::FILE* tgb, const std::string& line) {
  if (std::fputs(line.c_str(), tgb) == EOF || std::fflush(tgb) != 0) {
    Log_Line("Fehler: fputs(parvektgb)!\n");
  }
}

// One accounting day: reference-day search, both follow-up rules, the parameter line.
void Scan_Pass(TagSatz& tag, TagSatz& vortag, const char* schema_name, std::FILE* tgb) {
  Rec_Clear(vortag);
  if (RunFlags.debug == 1) {
    Dbg_Printf("\nLesen TagSatz!\n");
    Dbg_Printf("aktueller Tagsatz!!!\n");
    Tag_Dump(tag);
  }
  if (Vortag_Search(tag.TagPnr, tag.TagTag, vortag) == 0) return;

  if (RunFlags.debug == 1) {
    Dbg_Printf("Tag mit letzter Meldung gefungen! Pnr: %s Datum: %s!\n", vortag.TagPnr,
               vortag.TagTag);
    Scan_DumpBoth("\nBeginn Meldungsverarbeitung!\n", tag, vortag);
  }
  const int tages = FolgeMld_TagesMld(tag, vortag);
  const int std_mld = FolgeMld_StdMld(tag, vortag);  // runs whatever the first returned
  if (RunFlags.debug == 1) Scan_DumpBoth("\nEnde Meldungsverarbeitung!\n", tag, vortag);

  if (tages == 0 && std_mld == 0) return;
  const std::string line = Tgb_ParamLine(RunFlags.consolidation, schema_name, tag);
  Dbg_Printf("Parametersatz in Datei schreiben: %s!\n", line.c_str());
  if (tgb != nullptr) Scan_WriteLine(tgb, line);
}

}  // namespace

void TagYday_Scan(const char* schema_name) {
  std::FILE* tgb = std::fopen(kParamFileName, "wt");
  if (tgb == nullptr) Log_Line("Fehler: fopen(parvektgb)!\n");

  TagSatz tag;
  TagSatz vortag;
  Rec_Clear(tag);
  Rec_Clear(vortag);
  int rc = TagYday_Open();
  if (rc != 0) Log_Entry("Fehler(Cur_open): Tagsatz(+TgbSol) lesen! ", "RC:%d\n", rc);

  while ((rc = TagYday_Fetch(tag)) == 0) {
    Scan_Pass(tag, vortag, schema_name, tgb);
    Rec_Clear(tag);
  }
  if (rc != kNoMoreRows) Log_Entry("Fehler(Cur_Read): Tagsatz(+TgbSol) lesen! ", "RC:%d\n", rc);

  TagYday_Close();
  if (tgb != nullptr && std::fclose(tgb) != 0) Log_Line("Fehler: fclose(parvektgb)!\n");
}
