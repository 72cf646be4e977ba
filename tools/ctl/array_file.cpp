#include "ctl/array_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vexon::ctl {

using nlohmann::json;

namespace {

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

bool EndsWithCsv(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (auto& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return ext == ".csv";
}

[[noreturn]] void Fail(const std::string& name, const std::string& what) {
  throw std::runtime_error(name + ": " + what);
}

// Signed decimal integer within the 32-bit range the server converts to.
bool ParseInt32(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  out = v;
  return true;
}

// Rows must be arrays of one length whose elements the server can convert
// (numbers, strings, booleans).
void CheckRows(const json& rows, const std::string& name) {
  if (!rows.is_array()) Fail(name, "expected an array of rows");
  size_t width = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const json& row = rows[r];
    const std::string where = "row " + std::to_string(r + 1);
    if (!row.is_array()) Fail(name, where + " is not an array");
    if (r == 0)
      width = row.size();
    else if (row.size() != width)
      Fail(name, where + " has " + std::to_string(row.size()) + " values; row 1 has " + std::to_string(width));
    for (size_t c = 0; c < row.size(); ++c)
      if (!row[c].is_number() && !row[c].is_string() && !row[c].is_boolean())
        Fail(name, where + ", value " + std::to_string(c + 1) + " is not a number");
  }
}

}  // namespace

json ParseArrayCsv(std::istream& in, const std::string& name) {
  json rows = json::array();
  size_t width = 0, firstLine = 0, lineNo = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNo;
    // Spreadsheets often start an export with a UTF-8 byte-order mark.
    if (lineNo == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    json row = json::array();
    std::istringstream fields(t);
    std::string field;
    size_t column = 0;
    // getline drops an empty last field ("1,2,"); catch it here.
    if (t.back() == ',') Fail(name, "line " + std::to_string(lineNo) + ": empty value after the last comma");
    while (std::getline(fields, field, ',')) {
      ++column;
      const std::string v = Trim(field);
      int64_t n = 0;
      if (v.empty()) Fail(name, "line " + std::to_string(lineNo) + ": value " + std::to_string(column) + " is empty");
      if (!ParseInt32(v, n))
        Fail(name, "line " + std::to_string(lineNo) + ": value " + std::to_string(column) + " '" + v +
                       "' is not a 32-bit integer");
      row.push_back(n);
    }
    if (firstLine == 0) {
      firstLine = lineNo;
      width = row.size();
    } else if (row.size() != width) {
      Fail(name, "line " + std::to_string(lineNo) + " has " + std::to_string(row.size()) + " values; line " +
                     std::to_string(firstLine) + " has " + std::to_string(width));
    }
    rows.push_back(std::move(row));
  }
  if (in.bad()) Fail(name, "read error");
  return rows;
}

json ParseArrayJson(const std::string& text, const std::string& name) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    Fail(name, std::string("not JSON: ") + e.what());
  }
  if (j.is_array()) {
    CheckRows(j, name);
    return j;
  }
  if (!j.is_object() || !j.contains("data"))
    Fail(name, "expected an array of rows or {\"lbound\":[...],\"data\":[...]}");
  for (auto it = j.begin(); it != j.end(); ++it)
    if (it.key() != "data" && it.key() != "lbound") Fail(name, "unknown key \"" + it.key() + "\"");
  CheckRows(j["data"], name);
  if (j.contains("lbound")) {
    const json& lb = j["lbound"];
    if (!lb.is_array() || lb.size() != 2 || !lb[0].is_number_integer() || !lb[1].is_number_integer())
      Fail(name, "\"lbound\" must be two integers");
  }
  return j;
}

json ReadArrayFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) Fail(path, "cannot be read");
  if (EndsWithCsv(path)) return ParseArrayCsv(f, path);
  std::stringstream ss;
  ss << f.rdbuf();
  if (f.bad()) Fail(path, "read error");
  return ParseArrayJson(ss.str(), path);
}

json VariantArgument(const std::string& argName, const std::string& text) {
  if (!text.empty() && text[0] == '@') {
    if (text.size() == 1) throw std::runtime_error(argName + "=@ needs a file name");
    return ReadArrayFile(text.substr(1));
  }
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded())
    throw std::runtime_error(argName + " must be JSON (for example [[1,2,3]]) or @FILE.json / @FILE.csv, got '" +
                             text + "'");
  return j;
}

}  // namespace vexon::ctl
