#include "run/ground/DatabaseIdentity.h"

#include <sys/stat.h>

#include <cctype>

namespace {

bool Starts(const std::string& s, const char* prefix, std::string& rest) {
  const std::string p = prefix;
  if (s.compare(0, p.size(), p) != 0) return false;
  rest = s.substr(p.size());
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

DatabaseIdentity DatabaseIdentity_From(const std::string& answer, const std::string& schema) {
  DatabaseIdentity id;
  std::string rest;
  if (Starts(answer, "file:", rest)) {
    struct stat sb {};
    if (rest.empty() || ::stat(rest.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return id;
    id.key = "file:" + std::to_string(sb.st_dev) + ":" + std::to_string(sb.st_ino);
    id.shown = "SQLite file " + rest;
    id.file = rest;
    return id;
  }
  // Schema names are unquoted identifiers: the engine folds them, so does the key.
  const std::string in_schema = "/" + Lower(schema);
  if (Starts(answer, "postgresql:", rest) && rest.find(':') != std::string::npos) {
    id.key = "postgresql:" + rest + in_schema;
    id.shown = "PostgreSQL system " + rest.substr(0, rest.find(':')) + ", database " +
               rest.substr(rest.find(':') + 1) + ", schema " + schema;
    return id;
  }
  if (Starts(answer, "oracle:", rest) && !rest.empty()) {
    id.key = "oracle:" + Lower(rest) + in_schema;
    id.shown = "Oracle database " + rest + ", schema " + schema;
  }
  return id;
}
