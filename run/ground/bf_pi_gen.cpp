// Writes the source of run/ground/BfTables.cpp to standard output: the Blowfish initial tables,
// computed from pi. Rebuild the file with: cmake --build BUILD --target bf_tables_regen
#include <cstdio>

#include "run/ground/PiHex.h"

int main() {
  const std::string text = pihex::BfTablesSource();
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
