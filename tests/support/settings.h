// Settings files for the job, as the tests write them (users link parvek_run for the cipher).
#pragma once

#include <string>

#include "run/BfCipher.h"

namespace pvt {

// One settings record: its header line and its entry line, the value enciphered.
inline std::string SettingsRecord(int number, const std::string& key, const std::string& value) {
  return ";PARVEK;\n" + std::to_string(number) + ";" + key + ";" + Ini_Encipher(value) + "\n";
}

// The job's settings: LOGIN, PASS, NET8 and SCHEMA (the schema name with the one further
// character the job drops).
inline std::string JobSettings(const std::string& login, const std::string& pass,
                               const std::string& net, const std::string& schema) {
  return SettingsRecord(1, "LOGIN", login) + SettingsRecord(2, "PASS", pass) +
         SettingsRecord(3, "NET8", net) + SettingsRecord(4, "SCHEMA", schema + "#");
}

}  // namespace pvt
