// The PostgreSQL backend's translations, without a server.
#include <gtest/gtest.h>

#include <string>

#include "client/codes.h"
#include "client/core/pg_errors.h"
#include "client/postgres/uri.h"

namespace {

TEST(PgTranslate, StatementStatesMapToTheJobsCodes) {
  struct Case {
    const char* state;
    int code;
  };
  const Case cases[] = {
      {"23505", pvc::kUniqueViolated}, {"23502", pvc::kNotNull},
      {"42P01", pvc::kNoTable},        {"42703", pvc::kNoColumn},
      {"55P03", pvc::kLocked},         {"22007", pvc::kBadDateFormat},
      {"22008", pvc::kBadDateFormat},  {"42501", pvc::kNoPrivilege},
      {"3F000", pvc::kNoSchema},       {"40P01", pvc::kDeadlock},
      {"25006", pvc::kReadOnly},       {"22P02", pvc::kInvalidNumber},
      {"08006", pvc::kLostConnection}, {"08003", pvc::kLostConnection},
      {"57P01", pvc::kLostConnection}, {"42601", pvc::kInvalidSql},
      {"XX000", pvc::kInternal},       {"", pvc::kInternal},
  };
  for (const Case& c : cases) EXPECT_EQ(pvc::Pg_TranslateState(c.state, true), c.code) << c.state;
}

TEST(PgTranslate, EveryFailureOnALostConnectionIsLostConnection) {
  for (const char* state : {"23505", "42P01", "", "XX000"})
    EXPECT_EQ(pvc::Pg_TranslateState(state, false), pvc::kLostConnection) << state;
}

TEST(PgTranslate, StateIsFoundInVerboseMessagesWhateverTheLanguage) {
  EXPECT_EQ(pvc::Pg_StateInMessage(
                "connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  28P01: "
                "password authentication failed for user \"x\"\nLOCATION:  auth_failed"),
            "28P01");
  EXPECT_EQ(pvc::Pg_StateInMessage("FATAL:  3D000: Datenbank »x« existiert nicht"), "3D000");
  // libpq's own messages carry no state.
  EXPECT_EQ(pvc::Pg_StateInMessage("connection to server at \"127.0.0.1\", port 1 failed: "
                                   "Connection refused\n\tIs the server running?"),
            "");
  EXPECT_EQ(pvc::Pg_StateInMessage("FATAL:  short"), "");
}

TEST(PgTranslate, LogonFailures) {
  struct Case {
    const char* message;
    bool needs_password;
    int code;
  };
  const Case cases[] = {
      {"failed: FATAL:  28P01: password authentication failed for user \"u\"", false,
       pvc::kBadLogin},
      {"failed: FATAL:  28000: no pg_hba.conf entry for host", false, pvc::kBadLogin},
      {"failed: fe_sendauth: no password supplied", true, pvc::kBadLogin},
      {"failed: Connection refused\n\tIs the server running on that host?", false,
       pvc::kNoListener},
      {"could not translate host name \"nohost\" to address", false, pvc::kNoListener},
      {"failed: FATAL:  3D000: database \"x\" does not exist", false, pvc::kUnknownService},
      {"failed: FATAL:  53300: sorry, too many clients already", false, pvc::kServerBusy},
      {"failed: FATAL:  57P03: the database system is starting up", false, pvc::kServerBusy},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pvc::Pg_TranslateLogon(c.message, c.needs_password), c.code) << c.message;
}

TEST(PgUri, CredentialsAreSplitOffAndDecoded) {
  struct Case {
    const char* uri;
    const char* user;
    const char* password;
    const char* net;
  };
  const Case cases[] = {
      {"postgresql://h:5432/db", "", "", "postgresql://h:5432/db"},
      {"postgresql://u:p@h:5432/db", "u", "p", "postgresql://h:5432/db"},
      {"postgres://u@h/db?sslmode=disable", "u", "", "postgres://h/db?sslmode=disable"},
      {"postgresql://u:p%40ss%3A@h/db", "u", "p@ss:", "postgresql://h/db"},
      {"postgresql://u:p@ss@h/db", "u", "p@ss", "postgresql://h/db"},
      {"postgresql://h/db?options=a@b", "", "", "postgresql://h/db?options=a@b"},
      {"postgresql://u:100%@h", "u", "100%", "postgresql://h"},
  };
  for (const Case& c : cases) {
    std::string user = "x", password = "x", net = "x";
    ASSERT_TRUE(pvc::PgSplitUri(c.uri, user, password, net)) << c.uri;
    EXPECT_EQ(user, c.user) << c.uri;
    EXPECT_EQ(password, c.password) << c.uri;
    EXPECT_EQ(net, c.net) << c.uri;
  }
  std::string user = "keep", password, net;
  EXPECT_FALSE(pvc::PgSplitUri("sqlite:/tmp", user, password, net));
  EXPECT_EQ(user, "keep");
}

}  // namespace
