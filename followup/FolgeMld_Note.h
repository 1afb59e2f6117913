// The follow-up rules' reports of what became of one message of the reference day.
#pragma once

#include "db/records.h"

// Reports (when anyone listens) the decision on the booking `bch` of the reference day:
// `outcome` in step `step` ("day-messages" or "hour-message"), with its follow-up type `follow`
// as far as it was read (`type_rc`: the follow-up type's read, 0 found, 1403 none, -1 not read)
// and `rc`, the read that decided where one failed.
void FolgeMld_Note(const char* step, const TagSatz& tag, const BchSatz& bch, const char* outcome,
                   const FcdSatz& follow, int type_rc, int rc);
