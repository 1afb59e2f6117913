#include <cstdint>
#include <limits>

#include "followup/Mld_Generate.h"

namespace {

// Sums are formed in 64 bits; a result outside the 32-bit range is held at its limit instead
// of wrapping into a value of the opposite sign.
int32_t Sum(int32_t a, int32_t b) {
  const int64_t s = static_cast<int64_t>(a) + static_cast<int64_t>(b);
  if (s > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (s < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(s);
}

}  // namespace

int32_t Mld_TargetValue(const FcdSatz& fcd, const AzvSatz& azv) {
  switch (fcd.FcdZwt) {
    case 1:
      // Integer division truncates toward zero: 481 gives 240, -3 gives -1.
      return (fcd.FcdTyp == 2 || fcd.FcdTyp == 3) ? azv.AzvSol / 2 : azv.AzvSol;
    case 2: return azv.AzvSo2;
    case 3: return azv.AzvHso;
    case 4: return azv.AzvHs2;
    case 14: return fcd.FcdStd;
    case 15: return Sum(azv.AzvSol, azv.AzvVhs);
    case 16: return Sum(azv.AzvHso, azv.AzvHtv);
    case 17: return Sum(azv.AzvSo2, azv.AzvVhs);
    case 18: return Sum(azv.AzvHs2, azv.AzvHtv);
    default: return 0;
  }
}
