// Flag rules, time stamp, Str_Upper and the schema name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "run/ground/DatabaseAddress.h"
#include "run/ground/RunControl.h"
#include "run/ground/RunLog.h"

namespace {

TEST(RunFlags, Rules) {
  const struct {
    const char* param2;
    const char* param3;
    const char* dbg;  // nullptr: PARVEK_DBG not defined
    int verbose, debug, consolidation;
  } cases[] = {
      {"XXX", "X", nullptr, 0, 0, 0},     {"KRVNT", "D", nullptr, 1, 0, 1},
      {"KRVNT", "Debug", "", 1, 1, 1},   // defined with an empty value counts
      {"krvnt", "d", "0", 0, 1, 0},      // lower case sets neither
      {"KRVN", "xD", "1", 0, 1, 0},      // a shorter beginning; 'D' not first
      {"KRVNTX", "", nullptr, 0, 0, 0},  // longer than the whole text; empty switch
      {"KRVNT ", "D ", nullptr, 1, 0, 0}, {"", "DX", nullptr, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.param2) + "/" + c.param3 + "/" + (c.dbg ? c.dbg : "(unset)"));
    if (c.dbg != nullptr)
      ::setenv("PARVEK_DBG", c.dbg, 1);
    else
      ::unsetenv("PARVEK_DBG");
    RunFlags = RunFlagsRec{1, 1, 1};
    RunFlags_Init(c.param2, c.param3);
    EXPECT_EQ(RunFlags.verbose, c.verbose);
    EXPECT_EQ(RunFlags.debug, c.debug);
    EXPECT_EQ(RunFlags.consolidation, c.consolidation);
  }
  ::unsetenv("PARVEK_DBG");
  RunFlags = RunFlagsRec{};
}

TEST(RunTimeStamp, Format) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 2;
  t.tm_min = 15;
  t.tm_sec = 0;
  EXPECT_EQ(Run_TimeStamp(t), "\nDatum: 07.12.2026  Uhrzeit: 02:15:00\n");
  t.tm_year = 1999 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  const std::string s = Run_TimeStamp(t);
  EXPECT_EQ(s, "\nDatum: 31.01.1999  Uhrzeit: 23:59:58\n");
  EXPECT_EQ(s.size(), 38u);
}

TEST(StrUpper, AsciiOnly) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""},
      {"personal", "PERSONAL"},
      {"aZ09_#$", "AZ09_#$"},
      {"stra\xC3\x9F"
       "e \xE4\xFF",
       "STRA\xC3\x9F"
       "E \xE4\xFF"},  // bytes >= 0x80 unchanged
      {"`az{", "`AZ{"},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(Str_Upper(s.data()), s.data());
    EXPECT_EQ(s, c.want);
  }
}

TEST(RunSchemaName, DropsLastCharacterThenUpperCases) {
  const struct {
    std::string value, want;
  } cases[] = {
      {"PERSONAL#", "PERSONAL"},
      {"ab1c2x", "AB1C2"},
      {"abc12z", "ABC12"},
      {"x", ""},
      {"", ""},
      {"schema_with_a_name_longer_than_twenty!", "SCHEMA_WITH_A_NAME_LONGER_THAN_TWENTY"},
  };
  for (const auto& c : cases) EXPECT_EQ(Run_SchemaName(c.value), c.want) << c.value;
}

TEST(Usage, TextByteForByte) {
  EXPECT_STREQ(kUsageText,
               "Aufruf: parvek [Param1] [Param2] [Param3]\n"
               "Param1: Pfad der Inidatei\n"
               "Param2: KRVNT/XXX KRVNT=Firmenkonsol.-Version\n"
               "Param3: D/X D=Debug\n");
}

}  // namespace

TEST(RunOneLine, ControlBytesAndLengthAreTamed) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"sqlite:/srv/db", "sqlite:/srv/db"},
      {"a\nb\rc\td", "a?b?c?d"},
      {std::string("x\0y", 3), "x?y"},
      {"\x7f\x80\xff", "?\x80\xff"},  // bytes above 0x7F stay (UTF-8 names)
      {std::string(200, 'n'), std::string(200, 'n')},
      {std::string(201, 'n'), std::string(200, 'n') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(Run_OneLine(c.in), c.out);
  EXPECT_EQ(Run_OneLine(std::string(100000, '\n')).size(), 203u);
}

// Wherever NET8 is printed, the user information of a URI and every password-like parameter
// are masked; names are compared as the connection library reads them (escapes decoded, any case).
TEST(RunMaskNet, SecretsAreMasked) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"sqlite:/srv/db", "sqlite:/srv/db"},
      {"XE", "XE"},
      {"postgresql://db.example.org:5432/zeit?sslmode=require",
       "postgresql://db.example.org:5432/zeit?sslmode=require"},
      {"postgresql://scott:tiger@db/zeit", "postgresql://********@db/zeit"},
      {"postgres://scott@db/zeit", "postgres://********@db/zeit"},
      {"postgresql://a:b@h1,c:d@h2/zeit", "postgresql://********@h2/zeit"},
      {"postgresql://db/zeit?sslpassword=geheim&sslmode=require",
       "postgresql://db/zeit?sslpassword=********&sslmode=require"},
      {"postgresql://db/zeit?user=u&PASSWORD=geheim",
       "postgresql://db/zeit?user=u&PASSWORD=********"},
      {"postgresql://db/zeit?pass%77ord=geheim", "postgresql://db/zeit?pass%77ord=********"},
      {"postgresql://db?password=", "postgresql://db?password=********"},
      {"host=db password=geheim dbname=zeit", "host=db password=******** dbname=zeit"},
      // ODBC connection strings: ';' separates, braces quote, any case.
      {"odbc:Driver={PostgreSQL Unicode};Server=db;PWD=geheim;Database=zeit",
       "odbc:Driver={PostgreSQL Unicode};Server=db;PWD=********;Database=zeit"},
      {"odbc:DSN=PROD;Password={ge;h}}eim};UID=scott", "odbc:DSN=PROD;Password=********;UID=scott"},
      {"odbc:DSN=PROD;pwd={open", "odbc:DSN=PROD;pwd=********"},
      {"odbc:DSN=PROD; passwd=x", "odbc:DSN=PROD; passwd=********"},
      {"DBQ=PROD;PWD=x", "DBQ=PROD;PWD=********"},
      // Blanks around '=', and a value that runs to ';' whatever it holds.
      {"odbc:DRIVER={X};UID=a; PWD = secret ;", "odbc:DRIVER={X};UID=a; PWD = ******** ;"},
      {"odbc:DSN=PROD;PWD=ge heim;UID=u", "odbc:DSN=PROD;PWD=********;UID=u"},
      {"odbc:DSN=PROD;Password=ge&heim", "odbc:DSN=PROD;Password=********"},
      {"odbc:DSN=PROD;pwd\t=\t{ge;heim} ;UID=u", "odbc:DSN=PROD;pwd\t=\t******** ;UID=u"},
      {"odbc:DSN=PROD;Description=password=x y", "odbc:DSN=PROD;Description=password=x y"},
      // PostgreSQL's driver hands pqopt (D5) to the client library: its secrets, and no more.
      {"odbc:DSN=PROD;pqopt={password=geheim}", "odbc:DSN=PROD;pqopt={password=********}"},
      {"odbc:DSN=PROD;pqopt={sslmode=require password='ge heim' application_name=n};UID=u",
       "odbc:DSN=PROD;pqopt={sslmode=require password=******** application_name=n};UID=u"},
      {"odbc:DSN=PROD;PQOPT = {sslpassword = 'a\\'b}}c;d' user=u};UID=x",
       "odbc:DSN=PROD;PQOPT = {sslpassword = ******** user=u};UID=x"},
      {"odbc:DSN=PROD;D5={host=h PassWord=ge\\ heim}",
       "odbc:DSN=PROD;D5={host=h PassWord=********}"},
      {"odbc:DSN=PROD;pqopt=sslmode=require+password=geheim",
       "odbc:DSN=PROD;pqopt=sslmode=require+password=********"},
      {"odbc:DSN=PROD;pqopt={host=h port=5432}", "odbc:DSN=PROD;pqopt={host=h port=5432}"},
      // The client library's keyword/value string: blanks around '=', quotes, backslashes.
      {"host=db password = geheim dbname=zeit", "host=db password = ******** dbname=zeit"},
      {"host=db password='ge heim' dbname=zeit", "host=db password=******** dbname=zeit"},
      {"host=db PASSWORD='a\\'b c'", "host=db PASSWORD=********"},
      {"host=db password=ge\\ heim", "host=db password=********"},
      // A URI's user information even when its password holds an unescaped '?' or '/'; a query
      // value runs to '&'; an '@' in the query is no user information.
      {"postgresql://scott:ti?ger@db/zeit", "postgresql://********@db/zeit"},
      {"postgresql://scott:ti/ger@db/zeit", "postgresql://********@db/zeit"},
      {"postgresql://db/zeit?password=ge;h eim&sslmode=require",
       "postgresql://db/zeit?password=********&sslmode=require"},
      {"postgresql://db/zeit?application_name=a@b", "postgresql://db/zeit?application_name=a@b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Net8_Mask(c.in), c.out) << c.in;
    EXPECT_EQ(Net8_Mask(c.out), c.out) << c.in;  // masking again changes nothing
  }
}
