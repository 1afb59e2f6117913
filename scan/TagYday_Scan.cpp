#include "scan/TagYday_Scan.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "db/parveksql.h"
#include "db/records.h"
#include "followup/FolgeMld_StdMld.h"
#include "followup/FolgeMld_TagesMld.h"
#include "run/ground/Decision.h"
#include "run/ground/RunLog.h"
#include "scan/Tag_Dump.h"
#include "scan/Tgb_Param.h"
#include "scan/Vortag_Search.h"

namespace {

void Scan_DumpBoth(const char* heading, const TagSatz& tag, const TagSatz& vortag) {
  Dbg_Printf("%s", heading);
  Dbg_Printf("aktueller Tagsatz!!!\n");
  Tag_Dump(tag);
  Dbg_Printf("letzter Tagsatz!!!\n");
  Tag_Dump(vortag);
}

// A person number that could forge a line of the parameter file, or split one into more
// fields: a control character (a line feed among them) or the field separator ','.
bool Scan_PnrFitsLine(const char* pnr) {
  for (const char* p = pnr; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F || c == ',') return false;
  }
  return true;
}

// Writes one parameter line. The line is flushed at once so that a failed write is noticed
// (and logged) with the line it belongs to rather than only when the file is closed.
bool Scan_WriteLine(std::FILE* tgb, const std::string& line) {
  if (std::fputs(line.c_str(), tgb) == EOF || std::fflush(tgb) != 0) {
    Log_NoteFileFailure();
    Log_Line("Fehler: fputs(parvektgb)!\n");
    return false;
  }
  return true;
}

// What became of the day's parameter line, and why.
void Scan_NoteLine(const TagSatz& tag, const char* outcome, std::string_view line = {}) {
  if (Decision_On())
    Decision_Note(tag.TagPnr, {"parameter", "line", outcome,
                               {{"line", line.substr(0, line.find('\n'))},
                                {"consolidation", RunFlags.consolidation}}});
}

// One accounting day: reference-day search, both follow-up rules, the parameter line.
void Scan_Pass(TagSatz& tag, TagSatz& vortag, const char* schema_name, std::FILE* tgb) {
  Rec_Clear(vortag);
  if (Decision_On())
    Decision_Note(tag.TagPnr, {"day", "placeholder", "worked-on",
                               {{"TagTag", tag.TagTag}, {"TagVon", tag.TagVon},
                                {"TagUhr", tag.TagUhr}, {"TagBis", tag.TagBis},
                                {"TagEnd", tag.TagEnd}, {"TgbSol", tag.TgbSol},
                                {"TagTgb", tag.TagTgb}, {"TagTgs", tag.TagTgs},
                                {"TagHtv", tag.TagHtv}, {"TagHvs", tag.TagHvs},
                                {"TagHtn", tag.TagHtn}, {"TagHns", tag.TagHns}}});
  if (RunFlags.debug == 1) {
    Dbg_Printf("\nLesen TagSatz!\n");
    Dbg_Printf("aktueller Tagsatz!!!\n");
    Tag_Dump(tag);
  }
  if (Vortag_Search(tag.TagPnr, tag.TagTag, vortag) == 0) {
    Scan_NoteLine(tag, Stmt_ConnectionLost() != 0 ? "connection-lost" : "no-reference-day");
    return;
  }
  if (Stmt_ConnectionLost() != 0) return Scan_NoteLine(tag, "connection-lost");

  if (RunFlags.debug == 1) {
    Dbg_Printf("Tag mit letzter Meldung gefungen! Pnr: %s Datum: %s!\n", vortag.TagPnr,
               vortag.TagTag);
    Scan_DumpBoth("\nBeginn Meldungsverarbeitung!\n", tag, vortag);
  }
  const int tages = FolgeMld_TagesMld(tag, vortag);
  // Runs whatever the first returned, unless the connection is gone.
  const int std_mld = Stmt_ConnectionLost() != 0 ? 0 : FolgeMld_StdMld(tag, vortag);
  if (RunFlags.debug == 1) Scan_DumpBoth("\nEnde Meldungsverarbeitung!\n", tag, vortag);

  if (tages == 0 && std_mld == 0) return Scan_NoteLine(tag, "no-follow-up");
  // The day is not finished: no line.
  if (Stmt_ConnectionLost() != 0) return Scan_NoteLine(tag, "connection-lost");
  if (!Scan_PnrFitsLine(tag.TagPnr)) {
    Log_Entry("Fehler(Parametersatz): Personalnummer unzulässig, kein Parametersatz! ",
              "RC:%d Pnr:%s Tag:%s\n", 0, tag.TagPnr, tag.TagTag);
    return Scan_NoteLine(tag, "pnr-refused");
  }
  const std::string line = Tgb_ParamLine(RunFlags.consolidation, schema_name, tag);
  Dbg_Printf("Parametersatz in Datei schreiben: %s!\n", line.c_str());
  const bool written = tgb != nullptr && Scan_WriteLine(tgb, line);
  Scan_NoteLine(tag, written ? "written" : "write-failed", line);
}

}  // namespace

void TagYday_Scan(const char* schema_name, const std::optional<AccountingDay>& catch_up,
                  const char* param_file, const char* only_pnr) {
  std::FILE* tgb = Run_OpenJobFile(param_file, false);
  if (tgb == nullptr) {
    Log_NoteFileFailure();
    Log_Line("Fehler: fopen(parvektgb)!\n");
  }

  TagSatz tag;
  TagSatz vortag;
  Rec_Clear(tag);
  Rec_Clear(vortag);
  int rc;
  if (!catch_up) {
    rc = TagYday_Open();
  } else {
    const std::string day = catch_up->Compact();
    Log_Entry("Info: Nachholung für Abrechnungstag ", "Tag:%s\n", day.c_str());
    rc = TagYday_OpenAt(day.c_str());
  }
  if (rc != 0) Log_Entry("Fehler(Cur_open): Tagsatz(+TgbSol) lesen! ", "RC:%d\n", rc);

  for (;;) {
    rc = TagYday_Fetch(tag);
    if (rc == kKeyTooLong) {
      // A key longer than its field would name another person or day: the row is passed over.
      const RefusedRow& row = Stmt_RefusedRow();
      Log_Entry("Fehler(Cur_Read): Tagsatz(+TgbSol) Schlüssel zu lang, übergangen! ",
                "RC:%d Pnr:%s Tag:%s\n", rc, row.pnr.c_str(), row.day.c_str());
      Rec_Clear(tag);
      continue;
    }
    if (rc != 0) break;
    if (only_pnr != nullptr && std::strcmp(tag.TagPnr, only_pnr) != 0) {
      Rec_Clear(tag);
      continue;
    }
    Scan_Pass(tag, vortag, schema_name, tgb);
    if (Stmt_ConnectionLost() != 0) {
      // Every later person would meet a dead session: the night ends here.
      Log_Entry(
          "Fehler(DB-Verbindung): Verbindung verloren, Ausgang der letzten Änderung unbekannt, "
          "Lauf beendet! ",
          "RC:%d Pnr:%s Tag:%s\n", kConnectionLost, tag.TagPnr, tag.TagTag);
      if (Decision_On())
        Decision_Note(tag.TagPnr, {"night", "ended", "connection-lost", {{"TagTag", tag.TagTag}}});
      rc = kNoMoreRows;
      break;
    }
    Rec_Clear(tag);
  }
  if (rc != kNoMoreRows) Log_Entry("Fehler(Cur_Read): Tagsatz(+TgbSol) lesen! ", "RC:%d\n", rc);

  TagYday_Close();
  if (tgb != nullptr && std::fclose(tgb) != 0) {
    Log_NoteFileFailure();
    Log_Line("Fehler: fclose(parvektgb)!\n");
  }
}
