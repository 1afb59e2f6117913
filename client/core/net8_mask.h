// NET8 as it may be shown: in the run log, on standard error, in a tool's message.
#pragma once

#include <string>

namespace pvc {

// NET8 with its secrets masked: the user information of a postgresql:// or postgres:// URI
// ("user:password@") and the value of every parameter whose name, with %XX escapes decoded and
// in any case, contains "password" or "passwd" or is "pwd" become "********". Parameters are
// NAME=VALUE at the start or after '?', '&', ';' or white space; a value ends at '&', ';' or
// white space, and a value in braces (ODBC) at its closing brace.
std::string MaskNet(const std::string& net);

}  // namespace pvc
