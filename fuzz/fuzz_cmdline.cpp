// Fuzz target: the command line of the job, run through the real program entry.
//
// The input is split at zero bytes: the first piece becomes the content of a settings file,
// the following pieces the parameters. A parameter 1 that begins with '@' names that settings
// file; any other is used as a file name in the working directory (without '/', so nothing
// outside it is read). Every backend is replaced by one that refuses the logon, so a run
// goes up to the connect and never reaches a database.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "run/Driver.h"
#include "run/ground/DatabaseAddress.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

int Refuse(const std::string&, const std::string&, const std::string&,
           std::unique_ptr<pvc::Session>&) {
  return pvc::kBadNetName;
}

// A private working directory for the run log, entered once.
bool Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/parvek-fuzz-cmdline-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr || ::chdir(dir.c_str()) != 0) std::abort();
  for (std::string_view prefix : {kNet8Sqlite, kNet8Postgres, kNet8PostgresShort})
    pvc::RegisterBackend(std::string(prefix), Refuse);
  return true;
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t nul = s.find('\0', start);
    parts.push_back(s.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
    if (nul == std::string::npos) return parts;
    start = nul + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = Setup();
  (void)ready;
  std::vector<std::string> parts = Split(std::string(reinterpret_cast<const char*>(data), size));

  std::FILE* f = std::fopen("settings.ini", "wb");
  if (f == nullptr) return 0;
  std::fwrite(parts[0].data(), 1, parts[0].size(), f);
  std::fclose(f);

  std::vector<std::string> args{"parvek"};
  for (std::size_t i = 1; i < parts.size() && args.size() < 6; ++i) args.push_back(parts[i]);
  if (args.size() > 1) {
    std::string& p1 = args[1];
    if (!p1.empty() && p1[0] == '@') {
      p1 = "settings.ini";
    } else {
      std::string local;
      for (char c : p1)
        if (c != '/') local += c;
      p1 = local;
    }
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Require(Run_Main(static_cast<int>(args.size()), argv.data()) == 0);
  return 0;
}
