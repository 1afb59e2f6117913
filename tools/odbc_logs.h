// The log switches that make unixODBC or PostgreSQL's ODBC driver write what a connection sends
// and receives (connection settings, statements, data) into files under /tmp that other users
// can usually read. doctor looks for them in unixODBC's configuration files, read as text where
// unixODBC reads them, and in NET8.
#pragma once

#include <string>
#include <vector>

// unixODBC's configuration files for this process:
//   drivers         $ODBCSYSINI/$ODBCINSTINI; each defaults: /etc, odbcinst.ini
//   system_sources  $ODBCSYSINI/odbc.ini (/etc/odbc.ini)
//   user_sources    $ODBCINI, else .odbc.ini in the home directory of this process's user (from
//                   the password database, not $HOME)
// A data source defined in user_sources hides one of the same name in system_sources.
struct OdbcIniFiles {
  std::string drivers, system_sources, user_sources;
};
OdbcIniFiles OdbcIni_Files();

// One switch that is on.
struct OdbcLogSwitch {
  std::string where;    // "FILE [SECTION]", or "NET8"
  std::string setting;  // as written there: "Debug=1", "Trace=Yes"
  std::string advice;   // what it writes where, and what to do about it
  // The switch has the password written into the log as a connection opens, whatever the
  // connection asks for: connecting would put it there.
  bool logs_password = false;
};

struct OdbcLogReport {
  bool odbc = false;  // NET8 reaches an ODBC data source or driver; nothing else is filled in
  std::vector<OdbcLogSwitch> on;
};

// The switches that are on for the connections of `net8`: odbc:DSN, odbc:CONNECTION-STRING, or a
// bare name when a data source of that name is defined. Looked at: the data source's section
// (Debug, CommLog), the section of its driver in `files.drivers` (Debug, CommLog), the section
// PostgreSQL's driver reads its driver-wide log switches from ([PostgreSQL Unicode] or
// [PostgreSQL ANSI], when the driver's library is PostgreSQL's), the connection string's own
// Debug, CommLog (and their short forms B2, B3), and unixODBC's [ODBC] Trace. Missing or
// unreadable files count as empty; nothing is written.
OdbcLogReport OdbcLog_Check(const std::string& net8, const OdbcIniFiles& files);
