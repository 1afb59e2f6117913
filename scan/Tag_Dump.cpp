#include "scan/Tag_Dump.h"

#include <cstdio>

void Tag_Dump(const TagSatz& tag) {
  std::printf(
      "\nTagPnr: %s\nTagTag: %s\nTagVon: %s\nTagUhr: %s\nTagBis: %s\nTagEnd: %s\nTagSol: %ld\n"
      "TagTgb: %s\nTagTgs: %ld\nTagHtv: %s\nTagHvs: %ld\nTagHtn: %s\nTagHns: %ld\n\n",
      tag.TagPnr, tag.TagTag, tag.TagVon, tag.TagUhr, tag.TagBis, tag.TagEnd,
      static_cast<long>(tag.TgbSol), tag.TagTgb, static_cast<long>(tag.TagTgs), tag.TagHtv,
      static_cast<long>(tag.TagHvs), tag.TagHtn, static_cast<long>(tag.TagHns));
}
