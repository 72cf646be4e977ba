// Array arguments of vexonctl. A VARIANT argument is JSON text given inline
// (Cl=[[1,2,3]]) or the contents of a file (Cl=@cards.json, Cl=@cards.csv),
// so that a site can push a card list straight from its own database export.
//
// A JSON file holds a nested array of rows ([[...],[...]]) or the explicit
// form {"lbound":[l1,l2],"data":[[...],...]}. A CSV file holds one row per
// line of comma-separated decimal integers; blank lines and lines whose
// first non-blank character is '#' are skipped. Every row must have as many
// values as the first. A file name ending in ".csv" (any case) is read as
// CSV, any other as JSON.
//
// Anything malformed throws std::runtime_error naming the file and the line
// (CSV) or the row, before anything reaches the server.
#pragma once

#include <istream>
#include <nlohmann/json.hpp>
#include <string>

namespace vexon::ctl {

// The value of VARIANT argument `argName` given as `text`.
nlohmann::json VariantArgument(const std::string& argName, const std::string& text);

nlohmann::json ReadArrayFile(const std::string& path);
// `name` is the file name used in error messages.
nlohmann::json ParseArrayCsv(std::istream& in, const std::string& name);
nlohmann::json ParseArrayJson(const std::string& text, const std::string& name);

}  // namespace vexon::ctl
