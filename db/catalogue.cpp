// The statement catalogue: for every statement of the job its name and its text of record,
// the text as the job's reference database runs it (embedded-SQL form, trailing and double blanks
// included). Backends run their own equivalent text for each Op; these texts document what each
// must select. Writes also carry their savepoint and rollback statements.
#include "db/catalogue.h"

namespace {

constexpr StmtInfo kCatalogue[] = {
    {pvc::Op::TagYday, "TagYday",
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((((Tag"
     "Tag=(trunc(sysdate)-1) and TO_CHAR(TagVon,'yyyymmdd')=TO_CHAR(TagBis,'yyyymmdd')) an"
     "d TO_CHAR(TagUhr,'HH24MISS')=TO_CHAR(TagEnd,'HH24MISS')) and TO_CHAR(TagUhr,'HH24MIS"
     "S')='120000') and TgbPnr=TagPnr) and TgbDtm=TagTag) and TgbZtr=1)           ",
     nullptr, nullptr, nullptr},
    {pvc::Op::TagPrev, "TagPrev",
     "select TagPnr ,TO_CHAR(TagTag,'yyyymmdd') ,TO_CHAR(TagVon,'yyyymmdd') ,TO_CHAR(TagUh"
     "r,'HH24MISS') ,TO_CHAR(TagBis,'yyyymmdd') ,TO_CHAR(TagEnd,'HH24MISS') ,TgbSol ,TagTg"
     "b ,TagTgs ,TagHtv ,TagHvs ,TagHtn ,TagHns  from Krv327Tag ,Krv320Tgb where ((((TagPn"
     "r=:b0 and TagTag<To_Date(:b1,'yyyymmdd')) and TgbPnr=TagPnr) and TgbDtm=TagTag) and "
     "TgbZtr=1) order by TagTag desc             ",
     nullptr, nullptr, nullptr},
    {pvc::Op::BchTagMld, "BchVortag/BchAbrTag",
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmdd') ,TO_CHAR(BchUhr,'HH24MISS') ,BchFkt ,TO_CH"
     "AR(BchBis,'yyyymmdd') ,TO_CHAR(BchVws,'HH24MISS') ,BchFcd ,BchZwt ,BchAbt ,BchKst ,B"
     "chKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm  from Krv321Bch where "
     "((BchPnr=:b0 and TO_Date(BchVon)=TO_Date(:b1,'yyyymmdd')) and ((BchFkt=1 or BchFkt=2"
     ") or BchFkt=3))           ",
     nullptr, nullptr, nullptr},
    {pvc::Op::BchStdMld, "BchStdMld",
     "select BchPnr ,TO_CHAR(BchVon,'yyyymmdd') ,TO_CHAR(BchUhr,'HH24MISS') ,BchFkt ,TO_CH"
     "AR(BchBis,'yyyymmdd') ,TO_CHAR(BchVws,'HH24MISS') ,BchFcd ,BchZwt ,BchAbt ,BchKst ,B"
     "chKtr ,BchKrt ,BchAzt ,BchVra ,BchTxt ,BchSta ,BchErf ,BchTrm  from Krv321Bch ,Krv32"
     "7Tag where ((((((TagPnr=:b0 and TagPnr=BchPnr) and TagTag=TO_Date(:b1,'yyyymmdd')) a"
     "nd concat(TO_CHAR(BchVon,'yyyymmdd'),TO_CHAR(BchUhr,'HH24MISS'))>=concat(TO_CHAR(Tag"
     "Von,'yyyymmdd'),TO_CHAR(TagUhr,'HH24MISS'))) and concat(TO_CHAR(BchVon,'yyyymmdd'),T"
     "O_CHAR(BchUhr,'HH24MISS'))<=concat(TO_CHAR(TagBis,'yyyymmdd'),TO_CHAR(TagEnd,'HH24MI"
     "SS'))) and BchFkt<>45) and BchFkt<>29) order by TO_CHAR(BchVon,'yyyymmdd') desc ,TO_"
     "CHAR(BchUhr,'HH24MISS') desc             ",
     nullptr, nullptr, nullptr},
    {pvc::Op::FcdReadFlg, "Fcd_ReadFlg",
     "select FcdFlg into :b0:b1  from Krv131Fcd where (FcdNum=:b2 and FcdSta<4)",
     nullptr, nullptr, nullptr},
    {pvc::Op::FcdRead, "Fcd_Read",
     "select FcdNum ,FcdTyp ,FcdZwt ,FcdStd ,FcdSol ,NVL(FcdPri,0) ,NVL(FcdGpu,0) ,NVL(Fcd"
     "Fcd,(-9)) ,FcdFlg into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15"
     ",:b16:b17  from Krv131Fcd where FcdNum=:b0",
     nullptr, nullptr, nullptr},
    {pvc::Op::AzvRead, "Azv_Read",
     "select AzvNum ,TO_CHAR(ZtgVon,'yyyymmdd') ,AzvSol ,AzvSo2 ,AzvVhs ,AzvHso ,AzvHs2 ,A"
     "zvHtv into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,:b14:b15  from Krv32"
     "9Ztg ,Krv140Azv where ((((((ZtgPnr=:b16 and ZtgVon=TO_Date(:b17,'yyyymmdd')) and Ztg"
     "Azt=AzvNum) and ZtgVon>=AzvGvo) and (ZtgVon<=AzvGbi or AzvGbi is null )) and ZtgSta<"
     "4) and AzvSta<4)",
     nullptr, nullptr, nullptr},
    {pvc::Op::BchCountTagMld, "Bch_CountTagMld",
     "select count(*)  into :b0:b1  from Krv321Bch where ((BchPnr=:b2 and BchVon=TO_Date(:"
     "b3,'yyyymmdd')) and BchFkt=1)",
     nullptr, nullptr, nullptr},
    {pvc::Op::BchCountStdMld, "Bch_CountStdMld",
     "select count(*)  into :b0:b1  from Krv321Bch where (((BchPnr=:b2 and CONCAT(TO_CHAR("
     "BchVon,'yyyymmdd'),TO_CHAR(BchUhr,'HH24MISS'))>=:b3) and CONCAT(TO_CHAR(BchVon,'yyyy"
     "mmdd'),TO_CHAR(BchUhr,'HH24MISS'))<=:b4) and (((((((BchFkt=21 or BchFkt=22) or BchFk"
     "t=23) or BchFkt=24) or BchFkt=25) or BchFkt=29) or BchFkt=30) or BchFkt=0))",
     nullptr, nullptr, nullptr},
    {pvc::Op::TagUpdate, "Tag_Update",
     "update KRV327Tag  set TagTgb=:b0:b1,TagTgs=:b2:b3,TagHtv=:b4:b5,TagHvs=:b6:b7,TagHtn"
     "=:b8:b9,TagHns=:b10:b11 where (TagPnr=:b12 and TagTag=TO_DATE(:b13,'yyyymmdd'))",
     "Tag_PKey_Upd_Sp", "savepoint Tag_PKey_Upd_Sp", "rollback  to Tag_PKey_Upd_Sp"},
    {pvc::Op::BchUpdFkt, "Bch_UpdFkt",
     "update KRV321Bch  set BchFkt=:b0:b1,BchDat=sysdate,BchErf='Korvant' where (((BchPnr="
     ":b2 and BchVon=TO_DATE(:b3,'yyyymmdd')) and TO_CHAR(BchUhr,'HH24MISS')=:b4) and BchF"
     "kt=:b5)",
     "Bch_UpdFkt_Sp", "savepoint Bch_UpdFkt_Sp", "rollback  to Bch_UpdFkt_Sp"},
    {pvc::Op::BchDelFkt, "Bch_DelFkt",
     "delete  from KRV321Bch  where (((BchPnr=:b0 and BchVon=TO_DATE(:b1,'yyyymmdd')) and "
     "TO_CHAR(BchUhr,'HH24MISS')=:b2) and BchFkt=:b3)",
     "Bch_DelFkt_Sp", "savepoint Bch_DelFkt_Sp", "rollback  to Bch_DelFkt_Sp"},
    {pvc::Op::BchInsert, "Bch_Insert",
     "insert into Krv321Bch (BchPnr,BchVon,BchUhr,BchFkt,BchFcd) values (:b0:b1,TO_Date(:b"
     "2:b3,'yyyymmdd'),TO_Date(:b4:b5,'yyyymmddHH24MISS'),:b6:b7,:b8:b9)",
     "Bch_PKey_Ins_Sp", "savepoint Bch_PKey_Ins_Sp", "rollback  to Bch_PKey_Ins_Sp"},
};

static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == static_cast<int>(pvc::Op::kCount),
              "one catalogue entry per statement");

}  // namespace

const StmtInfo& Stmt_Info(pvc::Op op) { return kCatalogue[static_cast<int>(op)]; }
