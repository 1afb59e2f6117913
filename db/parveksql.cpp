#include "db/parveksql.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"

using pvc::Bind;
using pvc::Op;
using pvc::Row;

namespace {

std::string Str(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

int g_lost = 0;
RefusedRow g_refused;

// Every code a call of the session returns passes here: a lost connection is remembered.
int Note(int rc) {
  if (rc == pvc::kLostConnection) g_lost = 1;
  return rc;
}

// The session to use, or none once the connection is lost.
pvc::Session* Live() { return g_lost != 0 ? nullptr : pvc::Current(); }

// ---- reading a row into a record ------------------------------------------------------------

// Reads a row's columns in order into record fields. The first failure is kept; the caller
// copies the record only when everything went well.
class RowReader {
 public:
  explicit RowReader(const Row& row) : row_(row) {}

  template <std::size_t N>
  void Text(char (&field)[N]) {
    Text(field, N);
  }
  void Text(char* field, std::size_t cap) {
    const pvc::Cell* c = Next();
    if (c == nullptr) return;
    // NULL arrives as an empty text, an over-long value cut to capacity - 1.
    Txt_Set(field, cap, c->null ? std::string_view() : std::string_view(c->text));
  }
  // A key, which must never be cut into another one: an over-long value fails the row.
  template <std::size_t N>
  void Key(char (&field)[N]) {
    const pvc::Cell* c = Peek();
    if (c != nullptr && !c->null && c->text.size() > N - 1) {
      Fail(kKeyTooLong);
      Refused();
    }
    Text(field, N);
  }
  void Int(int32_t& field) {
    const pvc::Cell* c = Next();
    if (c == nullptr) return;
    if (c->null) {
      field = 0;
      return;
    }
    if (!c->is_int) {
      Fail(pvc::kInvalidNumber);
      return;
    }
    if (c->num < std::numeric_limits<int32_t>::min() ||
        c->num > std::numeric_limits<int32_t>::max()) {
      Fail(pvc::kColumnOverflow);
      return;
    }
    field = static_cast<int32_t>(c->num);
  }
  // 0 when every column was read and the row had no more columns than read.
  int Done() {
    if (rc_ == 0 && pos_ != row_.size()) rc_ = pvc::kInternal;
    return rc_;
  }

 private:
  const pvc::Cell* Peek() const { return pos_ < row_.size() ? &row_[pos_] : nullptr; }
  // Keeps the row's first two texts for the caller's log entry.
  void Refused() {
    g_refused = RefusedRow{};
    std::string* next = &g_refused.pnr;
    for (const pvc::Cell& c : row_) {
      if (c.is_int) continue;
      *next = c.null ? std::string() : c.text;
      if (next == &g_refused.day) break;
      next = &g_refused.day;
    }
  }
  const pvc::Cell* Next() {
    if (pos_ >= row_.size()) {
      Fail(pvc::kInternal);
      return nullptr;
    }
    return &row_[pos_++];
  }
  void Fail(int rc) {
    if (rc_ == 0) rc_ = rc;
  }

  const Row& row_;
  std::size_t pos_ = 0;
  int rc_ = 0;
};

int ReadTag(const Row& row, TagSatz& out) {
  TagSatz t = out;
  RowReader r(row);
  r.Key(t.TagPnr);
  r.Key(t.TagTag);
  r.Key(t.TagVon);
  r.Key(t.TagUhr);
  r.Key(t.TagBis);
  r.Key(t.TagEnd);
  r.Int(t.TgbSol);
  r.Key(t.TagTgb);  // the day codes are written back whole by the day update
  r.Int(t.TagTgs);
  r.Key(t.TagHtv);
  r.Int(t.TagHvs);
  r.Key(t.TagHtn);
  r.Int(t.TagHns);
  const int rc = r.Done();
  if (rc == 0) out = t;
  return rc;
}

int ReadBch(const Row& row, BchSatz& out) {
  BchSatz b = out;
  RowReader r(row);
  r.Key(b.BchPnr);
  r.Key(b.BchVon);
  r.Key(b.BchUhr);
  r.Int(b.BchFkt);
  r.Text(b.BchBis);
  r.Text(b.BchVws);
  r.Key(b.BchFcd);
  r.Int(b.BchZwt);
  r.Text(b.BchAbt);
  r.Text(b.BchKst);
  r.Text(b.BchKtr);
  r.Text(b.BchKrt);
  r.Text(b.BchAzt);
  r.Text(b.BchVra);
  r.Int(b.BchTxt);
  r.Int(b.BchSta);
  r.Text(b.BchErf);
  r.Text(b.BchTrm);
  const int rc = r.Done();
  if (rc == 0) out = b;
  return rc;
}

// ---- cursors --------------------------------------------------------------------------------

// A named cursor of the job; empty while closed.
struct NamedCursor {
  std::unique_ptr<pvc::Cursor> cursor;
};
NamedCursor g_tagyday, g_tagprev, g_bchvortag, g_bchabrtag, g_bchstdmld;

int CursorOpen(NamedCursor& c, Op op, const std::vector<Bind>& in) {
  c.cursor.reset();
  pvc::Session* s = Live();
  if (s == nullptr) return pvc::kLostConnection;
  return Note(s->Open(op, in, c.cursor));
}

template <typename Rec>
int CursorFetch(NamedCursor& c, Rec& out, int (*read)(const Row&, Rec&)) {
  if (g_lost != 0) return pvc::kLostConnection;
  if (!c.cursor) return pvc::kNotOpen;
  Row row;
  const int rc = Note(c.cursor->Fetch(row));
  if (rc != 0) return rc;
  return read(row, out);
}

int CursorClose(NamedCursor& c) {
  c.cursor.reset();
  return 0;
}

// ---- single-row selects and writes ----------------------------------------------------------

int SelectOne(Op op, const std::vector<Bind>& in, Row& row) {
  pvc::Session* s = Live();
  if (s == nullptr) return pvc::kLostConnection;
  return Note(s->SelectOne(op, in, row));
}

// Savepoint, statement, then commit on 0 or rollback to the savepoint otherwise. When the
// statement succeeded but its commit failed, the change is rolled back to the savepoint and the
// commit's code returned: a change that is not durable is never reported as done.
int WritePattern(Op op, const std::vector<Bind>& in) {
  pvc::Session* s = Live();
  if (s == nullptr) return pvc::kLostConnection;
  return Note(s->WriteDurably(op, in, pvc::Op_Info(op).savepoint));
}

// Single-row select into a caller's record through `read`; the record changes only on 0.
template <typename Rec>
int SelectInto(Op op, const std::vector<Bind>& in, Rec& out, int (*read)(const Row&, Rec&)) {
  Row row;
  const int rc = SelectOne(op, in, row);
  if (rc != 0) return rc;
  return read(row, out);
}

int ReadCount(const Row& row, int32_t& out) {
  int32_t n = 0;
  RowReader r(row);
  r.Int(n);
  const int rc = r.Done();
  if (rc == 0) out = n;
  return rc;
}

int ReadFcd(const Row& row, FcdSatz& out) {
  FcdSatz f = out;
  RowReader r(row);
  r.Key(f.FcdNum);
  r.Int(f.FcdTyp);
  r.Int(f.FcdZwt);
  r.Int(f.FcdStd);
  r.Int(f.FcdSol);
  r.Int(f.FcdPri);
  r.Int(f.FcdGpu);
  r.Int(f.FcdFcd);
  r.Key(f.FcdFlg);
  const int rc = r.Done();
  if (rc == 0) out = f;
  return rc;
}

int ReadAzv(const Row& row, AzvSatz& out) {
  AzvSatz a = out;
  RowReader r(row);
  r.Text(a.AzvNum);
  r.Text(a.ZtgVon);
  r.Int(a.AzvSol);
  r.Int(a.AzvSo2);
  r.Int(a.AzvVhs);
  r.Int(a.AzvHso);
  r.Int(a.AzvHs2);
  r.Int(a.AzvHtv);
  const int rc = r.Done();
  if (rc == 0) out = a;
  return rc;
}

}  // namespace

int Stmt_ConnectionLost() { return g_lost; }
void Stmt_NoteCode(int rc) { Note(rc); }
void Stmt_SessionStarted() { g_lost = 0; }
const RefusedRow& Stmt_RefusedRow() { return g_refused; }

namespace {

// The inputs of the reads of one day, written once for the calls and for Vortag_ReadAhead: a
// read run ahead answers only a call with exactly its inputs.
std::vector<Bind> DayInputs(const char* pnr, const char* day) {
  return {Bind::Txt(Str(pnr)), Bind::Dat(Str(day))};
}

std::vector<Bind> FrameInputs(const TagSatz& tag) {
  // The frame bounds are points in time: the date text followed directly by the time text.
  return {Bind::Txt(tag.TagPnr), Bind::Txt(std::string(tag.TagVon) + tag.TagUhr),
          Bind::Txt(std::string(tag.TagBis) + tag.TagEnd)};
}

}  // namespace

// ---- the yesterday cursor and the earlier-days cursor ----------------------------------------

int TagYday_Open() { return CursorOpen(g_tagyday, Op::TagYday, {}); }
int TagYday_OpenAt(const char* day) {
  return CursorOpen(g_tagyday, Op::TagYdayAt, {Bind::Dat(Str(day))});
}
int TagYday_Fetch(TagSatz& tag) { return CursorFetch(g_tagyday, tag, ReadTag); }
int TagYday_Close() { return CursorClose(g_tagyday); }

int TagPrev_Open(const char* pnr, const char* day) {
  return CursorOpen(g_tagprev, Op::TagPrev, {Bind::Txt(Str(pnr)), Bind::Dat(Str(day))});
}
int TagPrev_Fetch(TagSatz& tag) { return CursorFetch(g_tagprev, tag, ReadTag); }
int TagPrev_Close() { return CursorClose(g_tagprev); }

// ---- booking cursors ------------------------------------------------------------------------

int BchVortag_Open(const char* pnr, const char* day) {
  return CursorOpen(g_bchvortag, Op::BchTagMld, DayInputs(pnr, day));
}
int BchVortag_Fetch(BchSatz& bch) { return CursorFetch(g_bchvortag, bch, ReadBch); }
int BchVortag_Close() { return CursorClose(g_bchvortag); }

int BchAbrTag_Open(const char* pnr, const char* day) {
  return CursorOpen(g_bchabrtag, Op::BchTagMld, DayInputs(pnr, day));
}
int BchAbrTag_Fetch(BchSatz& bch) { return CursorFetch(g_bchabrtag, bch, ReadBch); }
int BchAbrTag_Close() { return CursorClose(g_bchabrtag); }

int BchStdMld_Open(const char* pnr, const char* day) {
  return CursorOpen(g_bchstdmld, Op::BchStdMld, DayInputs(pnr, day));
}
int BchStdMld_Fetch(BchSatz& bch) { return CursorFetch(g_bchstdmld, bch, ReadBch); }
int BchStdMld_Close() { return CursorClose(g_bchstdmld); }

// ---- single-row selects ---------------------------------------------------------------------

int Fcd_ReadFlg(const char* fcdnum, char* flg) {
  Row row;
  const int rc = SelectOne(Op::FcdReadFlg, {Bind::Txt(Str(fcdnum))}, row);
  if (rc != 0) return rc;
  char value[4] = {};
  RowReader r(row);
  r.Key(value);
  const int done = r.Done();
  if (done == 0 && flg != nullptr) Txt_Set(flg, sizeof value, value);
  return done;
}

int Db_Today(char (&day)[9]) {
  Row row;
  const int rc = SelectOne(Op::Today, {}, row);
  if (rc != 0) return rc;
  char value[9] = {};
  RowReader r(row);
  r.Key(value);
  const int done = r.Done();
  if (done == 0) Txt_Set(day, sizeof day, value);
  return done;
}

int Fcd_Read(FcdSatz& fcd) {
  return SelectInto(Op::FcdRead, {Bind::Txt(fcd.FcdNum)}, fcd, ReadFcd);
}

int Azv_Read(const char* pnr, const char* day, AzvSatz& azv) {
  return SelectInto(Op::AzvRead, {Bind::Txt(Str(pnr)), Bind::Dat(Str(day))}, azv, ReadAzv);
}

int Bch_CountTagMld(const TagSatz& tag, int32_t& count) {
  return SelectInto(Op::BchCountTagMld, DayInputs(tag.TagPnr, tag.TagTag), count, ReadCount);
}

int Bch_CountStdMld(const TagSatz& tag, int32_t& count) {
  return SelectInto(Op::BchCountStdMld, FrameInputs(tag), count, ReadCount);
}

void Vortag_ReadAhead(const TagSatz& day, bool with_bookings) {
  pvc::Session* s = Live();
  if (s == nullptr) return;
  std::vector<pvc::Read> reads = {{Op::BchCountTagMld, DayInputs(day.TagPnr, day.TagTag)},
                                  {Op::BchCountStdMld, FrameInputs(day)}};
  if (with_bookings) {
    reads.push_back({Op::BchTagMld, DayInputs(day.TagPnr, day.TagTag)});
    reads.push_back({Op::BchStdMld, DayInputs(day.TagPnr, day.TagTag)});
    // The day's message type, read when the day holds day messages (as Fcd_Read reads it).
    FcdSatz fcd;
    Rec_Clear(fcd);
    Txt_Set(fcd.FcdNum, day.TagTgb);
    if (fcd.FcdNum[0] != '\0') reads.push_back({Op::FcdRead, {Bind::Txt(fcd.FcdNum)}});
  }
  s->ReadAhead(reads);
}

// ---- writes ---------------------------------------------------------------------------------

int Tag_Update(const TagSatz& tag) {
  return WritePattern(
      Op::TagUpdate,
      {Bind::Txt(tag.TagTgb), Bind::Int(tag.TagTgs), Bind::Txt(tag.TagHtv), Bind::Int(tag.TagHvs),
       Bind::Txt(tag.TagHtn), Bind::Int(tag.TagHns), Bind::Txt(tag.TagPnr), Bind::Dat(tag.TagTag)});
}

int Bch_UpdFkt(const BchSatz& bch, int32_t new_fkt) {
  return WritePattern(Op::BchUpdFkt,
                      {Bind::Int(new_fkt), Bind::Txt(bch.BchPnr), Bind::Dat(bch.BchVon),
                       Bind::Txt(bch.BchUhr), Bind::Int(bch.BchFkt)});
}

int Bch_DelFkt(const BchSatz& bch, int32_t fkt) {
  return WritePattern(Op::BchDelFkt, {Bind::Txt(bch.BchPnr), Bind::Dat(bch.BchVon),
                                      Bind::Txt(bch.BchUhr), Bind::Int(fkt)});
}

int Bch_Insert(const BchSatz& bch) {
  // BchUhr is written with the booking's date and time: the 14-digit point in time.
  const std::string stamp = std::string(bch.BchVon) + bch.BchUhr;
  return WritePattern(Op::BchInsert,
                      {Bind::Txt(bch.BchPnr), Bind::Dat(bch.BchVon), Bind::DatTime(stamp),
                       Bind::Int(bch.BchFkt), Bind::Txt(bch.BchFcd)});
}
