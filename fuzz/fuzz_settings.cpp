// Fuzz target: the settings-file reader fed whole files.
//
// The input is written as a settings file and looked up the way the job does (the four keys
// with an empty section and number 0), then with a section, key and number taken from the
// input. Checks, beyond "no crash, no overrun, no leak": a lookup leaves a value without zero
// bytes, and splitting a file into stored lines loses and adds nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "run/ground/IniFile.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// One file per process, rewritten for every input.
const std::string& FilePath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string p = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                    "/parvek-fuzz-settings-" + std::to_string(::getpid()) + ".ini";
    return p;
  }();
  return path;
}

void Lookup(const char* section, const char* key, std::int32_t number) {
  Ini_ReadEntry(section, key, number, FilePath().c_str());
  Require(IniEntry.value.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  std::fclose(f);
  if (!written) return 0;

  for (const char* key : {"LOGIN", "PASS", "NET8", "SCHEMA"}) Lookup("", key, 0);

  // A request made of the input's first bytes: section and key up to the first ';'.
  const std::string head = content.substr(0, 24);
  const std::string req = head.substr(0, head.find(';'));
  Lookup(req.c_str(), req.c_str(), Ini_ReadNumber(req));

  std::string joined;
  for (const std::string& line : Ini_SplitLines(content)) {
    Require(!line.empty());
    const std::string norm = Ini_NormalizeLine(line);
    Require(norm.size() == line.size() || norm.size() + 1 == line.size());
    const IniRecord rec = Ini_ParseRecord(line, line);
    Require(rec.has_number == 0 || rec.has_number == 1);
    joined += line;
  }
  Require(joined == content);
  std::remove(FilePath().c_str());
  return 0;
}
