// The Blowfish initial P-array and S-boxes (the hexadecimal digits of pi), generated into
// run/ground/BfTables.cpp by run/bf_pi_gen.cpp.
#pragma once

#include <cstdint>

extern const std::uint32_t kBfInitP[18];
extern const std::uint32_t kBfInitS[4][256];
