// The job's settings as one value: the settings file read and deciphered once, handed to
// whatever needs the logon, the database or the schema. The file is read key by key, exactly
// as the job's own reader looks each one up (the file opened per key, in the order LOGIN,
// PASS, NET8, SCHEMA); nothing reads it again afterwards.
#pragma once

#include <string>

struct Settings {
  std::string path;    // the settings file as it was named
  std::string login;   // LOGIN
  std::string pass;    // PASS: a secret, never printed; wiped when the value goes
  std::string net8;    // NET8: may carry secrets of its own; print DatabaseAddress's masked form
  std::string schema;  // SCHEMA as deciphered: the schema's name and one character after it

  Settings() = default;
  Settings(const Settings&) = default;
  Settings& operator=(const Settings&) = default;
  ~Settings();

  // The schema name the job works on: SCHEMA without its last character, upper-cased.
  std::string SchemaName() const;
};

// Reads LOGIN, PASS, NET8 and SCHEMA from the settings file at `path`. A missing file or key
// gives an empty value, as for the job. The reader's own record is wiped afterwards.
Settings Settings_Read(const std::string& path);
