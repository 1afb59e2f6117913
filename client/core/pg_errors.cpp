#include "client/core/pg_errors.h"

#include "client/core/codes.h"

namespace pvc {
namespace {

bool StateChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

bool ClassIs(const std::string& state, const char* cls) {
  return state.size() == 5 && state[0] == cls[0] && state[1] == cls[1];
}

}  // namespace

int Pg_TranslateState(const std::string& state, bool connection_ok) {
  if (!connection_ok) return kLostConnection;
  struct Exact {
    const char* state;
    int code;
  };
  static constexpr Exact kExact[] = {
      {"23505", kUniqueViolated},  // unique_violation
      {"23502", kNotNull},         // not_null_violation
      {"42P01", kNoTable},         // undefined_table
      {"42703", kNoColumn},        // undefined_column
      {"3F000", kNoSchema},        // invalid_schema_name
      {"42501", kNoPrivilege},     // insufficient_privilege
      {"55P03", kLocked},          // lock_not_available (lock_timeout ran out)
      {"40P01", kDeadlock},        // deadlock_detected
      {"57014", kCancelled},       // query_canceled
      {"22007", kBadDateFormat},   // invalid_datetime_format
      {"22008", kBadDateFormat},   // datetime_field_overflow
      {"22P02", kInvalidNumber},   // invalid_text_representation
      {"22003", kValueTooLarge},   // numeric_value_out_of_range
      {"22001", kTextTooLong},     // string_data_right_truncation
      {"25006", kReadOnly},        // read_only_sql_transaction
      {"3B001", kNoSavepoint},     // invalid_savepoint_specification
      {"28P01", kBadLogin},        // invalid_password
      {"28000", kBadLogin},        // invalid_authorization_specification
      {"3D000", kUnknownService},  // invalid_catalog_name
      {"53300", kServerBusy},      // too_many_connections
      {"57P03", kServerBusy},      // cannot_connect_now
      {"57P01", kLostConnection},  // admin_shutdown
      {"57P02", kLostConnection},  // crash_shutdown
  };
  for (const auto& e : kExact)
    if (state == e.state) return e.code;
  if (ClassIs(state, "08")) return kLostConnection;  // connection_exception
  if (ClassIs(state, "42")) return kInvalidSql;      // other syntax errors and access rules
  return kInternal;
}

std::string Pg_StateInMessage(const std::string& message) {
  // Verbose messages read "SEVERITY:  SQLSTATE: text"; the severity word may be translated,
  // the SQLSTATE never is.
  for (size_t at = message.find(":  "); at != std::string::npos; at = message.find(":  ", at + 1)) {
    const size_t s = at + 3;
    if (s + 6 > message.size() || message[s + 5] != ':') continue;
    bool ok = true;
    for (size_t i = s; i < s + 5; ++i) ok = ok && StateChar(message[i]);
    if (ok) return message.substr(s, 5);
  }
  return {};
}

int Pg_TranslateLogon(const std::string& message, bool needs_password) {
  if (needs_password) return kBadLogin;
  const std::string state = Pg_StateInMessage(message);
  if (state.empty()) return kNoListener;
  const int code = Pg_TranslateState(state, true);
  return code == kLostConnection ? kNoListener : code;
}

}  // namespace pvc
