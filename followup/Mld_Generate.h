// Booking generation and day update: the last step of both follow-up rules.
#pragma once

#include <cstdint>

#include "db/records.h"

// Books the follow-up type `fcd` onto the accounting day of `tag` and writes its code and
// target value into `tag`.
//  - Refusal: when fcd.FcdSol is 1 and tag.TgbSol is 0 or less, writes the two refusal lines
//    to the run log whenever it is open (even with logging off), changes nothing (database,
//    `tag`, `bch`) and returns 0.
//  - Otherwise: fills `bch` with the new booking (the accounting day at "000000", FcdNum as
//    code, FcdTyp as function) and inserts it; reads the person's working-time plan
//    for the day; writes FcdNum and the target value into the pair that FcdTyp selects
//    (1 TagTgb/TagTgs, 2 TagHtv/TagHvs, 3 TagHtn/TagHns, other: none); updates the day record
//    with all three pairs as they stand. Each write commits itself. Failures are logged. An
//    insert that fails with an error other than -1, or a plan that the target value needs and
//    that cannot be read because of an error, leaves the day record alone (logged). Returns 1.
// `tag` and `bch` are the caller's and are changed in place; the other fields of `bch` keep
// what they held. Prints "Beginn/Ende Meldung generieren!" when RunFlags.debug is 1.
int Mld_Generate(TagSatz& tag, BchSatz& bch, const FcdSatz& fcd);

// The target value that fcd.FcdZwt selects from the working-time plan `azv`:
//  1 AzvSol (halved, truncated toward zero, when FcdTyp is 2 or 3), 2 AzvSo2, 3 AzvHso,
//  4 AzvHs2, 14 FcdStd, 15 AzvSol+AzvVhs, 16 AzvHso+AzvHtv, 17 AzvSo2+AzvVhs,
//  18 AzvHs2+AzvHtv, any other value 0. A sum beyond the 32-bit range is held at its limit.
int32_t Mld_TargetValue(const FcdSatz& fcd, const AzvSatz& azv);
