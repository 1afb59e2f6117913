// Settings records as parvekctl writes them, for the tool, the tests and the benchmark: a header
// line with the section PARVEK, then "number;key;value" with the value enciphered as the job
// deciphers it. The section and a number from 1 on make the record answer the job's requests
// through its key alone.
#pragma once

#include <string>

#include "run/ground/BfCipher.h"

inline constexpr const char* kSettingsHeader = ";PARVEK;";

// The entry line of a record.
inline std::string SettingsEntryLine(long long number, const std::string& key,
                                     const std::string& value, const std::string& eol = "\n") {
  return std::to_string(number) + ";" + key + ";" + Ini_Encipher(value) + eol;
}

// A whole record: header line and entry line.
inline std::string SettingsRecord(long long number, const std::string& key,
                                  const std::string& value, const std::string& eol = "\n") {
  return kSettingsHeader + eol + SettingsEntryLine(number, key, value, eol);
}

// The four records the job reads, numbered 1 to 4. `schema` is the schema's name; the record
// adds the one character the job drops.
inline std::string JobSettings(const std::string& login, const std::string& pass,
                               const std::string& net, const std::string& schema) {
  return SettingsRecord(1, "LOGIN", login) + SettingsRecord(2, "PASS", pass) +
         SettingsRecord(3, "NET8", net) + SettingsRecord(4, "SCHEMA", schema + "#");
}
