#include "run/ground/Settings.h"

#include "run/ground/IniFile.h"
#include "run/ground/RunControl.h"

namespace {

void Wipe(std::string& s) { s.assign(s.size(), '\0'); }

std::string Lookup(const std::string& path, const char* key) {
  Ini_ReadEntry("", key, 0, path.c_str());
  std::string value = IniEntry.value;
  Wipe(IniEntry.value);
  return value;
}

}  // namespace

Settings::~Settings() { Wipe(pass); }

std::string Settings::SchemaName() const { return Run_SchemaName(schema); }

Settings Settings_Read(const std::string& path) {
  Settings s;
  s.path = path;
  s.login = Lookup(path, "LOGIN");
  s.pass = Lookup(path, "PASS");
  s.net8 = Lookup(path, "NET8");
  s.schema = Lookup(path, "SCHEMA");
  return s;
}
