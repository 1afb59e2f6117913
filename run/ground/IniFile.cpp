#include "run/ground/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "run/ground/BfCipher.h"

IniEntryRec IniEntry;

namespace {

void Clear(IniEntryRec& e) {
  e.number = 0;
  e.section.clear();
  e.key.clear();
  e.value.clear();
}

struct FileCloser {
  std::FILE* f;
  ~FileCloser() {
    if (f != nullptr) std::fclose(f);
  }
};

}  // namespace

int Str_FindNth(const std::string& text, char ch, int n) {
  int found = 0;
  int last = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ch) continue;
    last = static_cast<int>(i);
    if (++found == n) break;
  }
  return last;
}

void Str_Sub(const std::string& text, int start, int length, std::string& out) {
  if (length < 0) return;
  const std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
  if (from >= text.size()) {
    out.clear();
    return;
  }
  out = length == 0 ? text.substr(from) : text.substr(from, static_cast<std::size_t>(length));
}

std::int32_t Ini_ReadNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<std::int32_t>(v);
}

IniRecord Ini_ParseRecord(const std::string& header_line, const std::string& entry_line) {
  IniRecord rec;
  IniEntryRec& e = rec.fields;
  // A text of the format ends at its first zero byte: the fields, the ';' between them and the
  // line end are looked for in that text only.
  const std::string header = header_line.substr(0, header_line.find('\0'));
  std::string entry = entry_line.substr(0, entry_line.find('\0'));

  // Section: between the first and second ';' of the header. With the second ';' right
  // after the first, the length is 0 and the rest of the line from there is taken; with
  // fewer than two ';' the length is negative and the section stays empty.
  const int p1 = Str_FindNth(header, ';', 1);
  const int p2 = Str_FindNth(header, ';', 2);
  Str_Sub(header, p1 + 1, p2 - p1 - 1, e.section);

  // Number: the text before the first ';'. A line beginning with ';' yields the whole line
  // as number text, which reads as 0. A line without any ';' has no number field at all.
  const int q1 = Str_FindNth(entry, ';', 1);
  rec.has_number = q1 >= 0 ? 1 : 0;
  if (q1 >= 0) {
    std::string number_text;
    Str_Sub(entry, 0, q1, number_text);
    e.number = Ini_ReadNumber(number_text);
  }

  if (entry.empty() || entry.back() != '\n') entry += '\n';

  const int q2 = Str_FindNth(entry, ';', 2);
  Str_Sub(entry, q1 + 1, q2 - q1 - 1, e.key);

  if (q1 == -1) {
    Str_Sub(entry, 0, 0, e.value);
  } else {
    const int n = Str_FindNth(entry, '\n', 1);
    Str_Sub(entry, q2 + 1, n - q2 - 1, e.value);
  }
  return rec;
}

int Ini_RecordAnswers(const IniRecord& rec, const char* section, const char* key,
                      std::int32_t number) {
  // Texts compare as C texts: a field holding a zero byte ends there.
  if (std::strcmp(rec.fields.section.c_str(), section) == 0) return 1;
  if (std::strcmp(rec.fields.key.c_str(), key) == 0) return 1;
  if (rec.has_number == 1 && rec.fields.number == number) return 1;
  return 0;
}

int Ini_ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(file)) != EOF) {
    if (line.size() >= kIniLineLimit) {
      line.clear();
      return -1;
    }
    line += static_cast<char>(c);
    if (c == '\n') break;
  }
  if (line.empty()) return 0;
  const std::size_t n = line.size();
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') line.erase(n - 2, 1);
  return 1;
}

std::vector<std::string> Ini_SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t nl = content.find('\n', start);
    const std::size_t end = nl == std::string::npos ? content.size() : nl + 1;
    lines.push_back(content.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string Ini_NormalizeLine(const std::string& raw) {
  const std::size_t n = raw.size();
  if (n >= 2 && raw[n - 2] == '\r' && raw[n - 1] == '\n') return raw.substr(0, n - 2) + "\n";
  return raw;
}

// Opens `path` for reading only when it names a regular file: a FIFO would block the job until
// some program writes to it, and a device may never end. Anything else reads as missing.
static std::FILE* Ini_OpenRegular(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "r");
  if (f == nullptr) ::close(fd);
  return f;
}

void Ini_ReadEntry(const char* section, const char* key, std::int32_t number, const char* path) {
  Clear(IniEntry);
  FileCloser file{Ini_OpenRegular(path)};
  if (file.f == nullptr) return;

  std::string header, entry;
  for (;;) {
    // The header read is not tested: at the end of the file the entry read fails as well.
    if (Ini_ReadLine(file.f, header) < 0) return;  // an endless line: nothing is found
    if (Ini_ReadLine(file.f, entry) <= 0) return;  // no partner line: ignored

    const IniRecord rec = Ini_ParseRecord(header, entry);
    if (Ini_RecordAnswers(rec, section, key, number) == 0) continue;

    IniEntry = rec.fields;
    std::string plain;
    Ini_Decipher(IniEntry.value, plain, kIniKey);
    IniEntry.value.assign(plain.c_str());  // the text ends at its first zero byte
    explicit_bzero(plain.data(), plain.size());
    return;
  }
}
