// What the report's tests share: a demo night with its journal, and reading a report's page.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace rpt {

namespace fs = std::filesystem;

// parvekctl in `cwd`; its output files go to `io` (default: `cwd`).
inline pvt::Result Ctl(const fs::path& cwd, const std::vector<std::string>& args,
                       const fs::path& io = {}) {
  return pvt::Run(PARVEKCTL_BIN, cwd, args, {{}, "", io.empty() ? cwd.string() : io.string()});
}

// The last file of `dir` in its listing (the only one, where the tests use it).
inline fs::path OnlyFile(const fs::path& dir) {
  fs::path found;
  for (const auto& e : fs::directory_iterator(dir)) found = e.path();
  return found;
}

// The demo of the guides after one night run with its journal in "journal".
struct DemoNight {
  pvt::TempDir tmp;
  fs::path dir = fs::path(tmp.path()) / "demo";
  fs::path journal;
  DemoNight() {
    Ctl(tmp.path(), {"demo-create", dir.string()});
    Ctl(dir, {"night", "parvek.ini", "XXX", "D", "--journal", "journal"});
    journal = OnlyFile(dir / "journal");
  }
};

// The text between the first `open` and the next `close` after it; nullopt when either is
// missing. A search by hand: a regular expression's matcher recurses once per character, which
// overflows the stack on a page's long texts under the sanitizers.
inline std::optional<std::string> Between(const std::string& text, const std::string& open,
                                          const std::string& close) {
  const size_t from = text.find(open);
  if (from == std::string::npos) return std::nullopt;
  const size_t to = text.find(close, from + open.size());
  if (to == std::string::npos) return std::nullopt;
  return text.substr(from + open.size(), to - from - open.size());
}

// The page's figure of `id` (its data-n), -1 when it has none.
inline long long Figure(const std::string& page, const std::string& id) {
  std::smatch m;
  return std::regex_search(page, m, std::regex("id=\"" + id + "\" data-n=\"(\\d+)\""))
             ? std::stoll(m[1])
             : -1;
}

inline std::string Status(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex("data-status=\"(\\w+)\"")) ? m[1].str() : "";
}

// The person numbers of the table's rows, in order.
inline std::vector<std::string> Rows(const std::string& page) {
  std::vector<std::string> out;
  const std::regex row("class=\"x\" aria-expanded=\"false\">([^<]+)<");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), row); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

// Each row's explanation as the page holds it: its lines, one text.
inline std::map<std::string, std::string> Explanations(const std::string& page) {
  std::map<std::string, std::string> out;
  const std::optional<std::string> held = Between(page, "id=\"explanations\">", "</script>");
  if (!held) return out;
  const nlohmann::json lines = nlohmann::json::parse(*held);
  const std::regex row("data-x=\"([0-9 ]*)\"><tr><th scope=\"row\"><button[^>]*>([^<]+)<");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), row); it != std::sregex_iterator(); ++it) {
    std::string text;
    std::istringstream ids((*it)[1].str());
    for (size_t i; ids >> i;) text += (text.empty() ? "" : "\n") + lines[i].get<std::string>();
    out[(*it)[2]] = text;
  }
  return out;
}

// What explain says of `pnr` from `journal`, run in the journal's folder (so that it names the
// journal as the page does), without its last line end.
inline std::string Explained(const fs::path& journal, const std::string& pnr) {
  std::string out = Ctl(journal.parent_path(),
                        {"explain", "--journal", journal.filename().string(), pnr},
                        journal.parent_path().parent_path()).out;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace rpt
