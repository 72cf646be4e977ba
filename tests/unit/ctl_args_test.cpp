// vexonctl's array arguments: CSV and JSON files and inline JSON become the
// nested arrays the server reads; anything malformed is refused with the
// file and the line or row named.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ctl/array_file.h"
#include "test_support.h"

using nlohmann::json;
using vexon::ctl::ParseArrayCsv;
using vexon::ctl::ParseArrayJson;
using vexon::ctl::ReadArrayFile;
using vexon::ctl::VariantArgument;

namespace {

json Csv(const std::string& text) {
  std::istringstream in(text);
  return ParseArrayCsv(in, "cards.csv");
}

// The message of the error that f throws, or "" when it throws none.
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(CtlArrayCsv, RowsCommentsBlankLinesAndLineEnds) {
  const json rows = Csv(
      "\xEF\xBB\xBF# facility, card low, card high, properties\n"
      "12,232,3,0\r\n"
      "\n"
      "   # an indented comment\n"
      " 12 , 233 ,3, 1 \n"
      "-1,+7,2147483647,-2147483648");  // no newline at the end
  EXPECT_EQ(rows, json::parse("[[12,232,3,0],[12,233,3,1],[-1,7,2147483647,-2147483648]]"));
  EXPECT_EQ(Csv(""), json::array());
  EXPECT_EQ(Csv("# only a comment\n\n"), json::array());
}

TEST(CtlArrayCsv, MalformedLinesNameFileAndLine) {
  EXPECT_EQ(ErrorOf([] { Csv("1,2,3\n\n1,x,3\n"); }), "cards.csv: line 3: value 2 'x' is not a 32-bit integer");
  EXPECT_EQ(ErrorOf([] { Csv("1,2,3\n1,,3\n"); }), "cards.csv: line 2: value 2 is empty");
  EXPECT_EQ(ErrorOf([] { Csv("1,2,3,\n"); }), "cards.csv: line 1: empty value after the last comma");
  EXPECT_EQ(ErrorOf([] { Csv("# head\n1,2,3\n1,2\n"); }), "cards.csv: line 3 has 2 values; line 2 has 3");
  EXPECT_EQ(ErrorOf([] { Csv("1,2147483648\n"); }),
            "cards.csv: line 1: value 2 '2147483648' is not a 32-bit integer");
  EXPECT_EQ(ErrorOf([] { Csv("1.5,2\n"); }), "cards.csv: line 1: value 1 '1.5' is not a 32-bit integer");
  EXPECT_EQ(ErrorOf([] { Csv("0x10,2\n"); }), "cards.csv: line 1: value 1 '0x10' is not a 32-bit integer");
  EXPECT_EQ(ErrorOf([] { Csv("1;2;3\n"); }), "cards.csv: line 1: value 1 '1;2;3' is not a 32-bit integer");
}

TEST(CtlArrayJson, RowsAndTheExplicitBoundsForm) {
  EXPECT_EQ(ParseArrayJson("[[1,2,3],[4,\"5\",true]]", "c.json"), json::parse("[[1,2,3],[4,\"5\",true]]"));
  const json bounded = ParseArrayJson("{\"lbound\":[0,1],\"data\":[[1,2]]}", "c.json");
  EXPECT_EQ(bounded["lbound"], json::parse("[0,1]"));
  EXPECT_EQ(ParseArrayJson("{\"data\":[]}", "c.json")["data"], json::array());
  EXPECT_EQ(ParseArrayJson("[]", "c.json"), json::array());
}

TEST(CtlArrayJson, MalformedFilesAreRefused) {
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("[[1,2],[3]]", "c.json"); }), "c.json: row 2 has 1 values; row 1 has 2");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("[[1,2],3]", "c.json"); }), "c.json: row 2 is not an array");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("[[1,null]]", "c.json"); }), "c.json: row 1, value 2 is not a number");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("[[1,[2]]]", "c.json"); }), "c.json: row 1, value 2 is not a number");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("{\"rows\":[[1]]}", "c.json"); }),
            "c.json: expected an array of rows or {\"lbound\":[...],\"data\":[...]}");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("{\"data\":[[1]],\"lbond\":[1,1]}", "c.json"); }),
            "c.json: unknown key \"lbond\"");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("{\"data\":[[1]],\"lbound\":[1]}", "c.json"); }),
            "c.json: \"lbound\" must be two integers");
  EXPECT_EQ(ErrorOf([] { ParseArrayJson("5", "c.json"); }),
            "c.json: expected an array of rows or {\"lbound\":[...],\"data\":[...]}");
  const std::string bad = ErrorOf([] { ParseArrayJson("[[1,2],\n[3,]]", "c.json"); });
  EXPECT_EQ(bad.rfind("c.json: not JSON: ", 0), 0u) << bad;
  EXPECT_NE(bad.find("line 2"), std::string::npos) << bad;
}

TEST(CtlVariantArgument, InlineJsonAndFilesByName) {
  vexon::testing::TTempDir dir("vexon-ctl");
  std::ofstream(dir.File("cards.CSV")) << "1,2\n3,4\n";
  std::ofstream(dir.File("cards.json")) << "[[5,6]]";
  std::ofstream(dir.File("cards.txt")) << "1,2\n";
  std::ofstream(dir.File("bad.csv")) << "1,2\n3\n";

  EXPECT_EQ(VariantArgument("Cl", "[[1,2,3]]"), json::parse("[[1,2,3]]"));
  EXPECT_EQ(VariantArgument("Cl", "@" + dir.File("cards.CSV")), json::parse("[[1,2],[3,4]]"));
  EXPECT_EQ(VariantArgument("Cl", "@" + dir.File("cards.json")), json::parse("[[5,6]]"));
  // Only a ".csv" name is read as CSV.
  EXPECT_EQ(ErrorOf([&] { VariantArgument("Cl", "@" + dir.File("cards.txt")); }).rfind(dir.File("cards.txt") +
                                                                                       ": not JSON",
                                                                                   0),
            0u);
  EXPECT_EQ(ErrorOf([&] { VariantArgument("Cl", "@" + dir.File("bad.csv")); }),
            dir.File("bad.csv") + ": line 2 has 1 values; line 1 has 2");
  EXPECT_EQ(ErrorOf([&] { ReadArrayFile(dir.File("missing.csv")); }), dir.File("missing.csv") + ": cannot be read");
  EXPECT_EQ(ErrorOf([] { VariantArgument("Cl", "@"); }), "Cl=@ needs a file name");
  EXPECT_EQ(ErrorOf([] { VariantArgument("ACards", "1,2,3"); }),
            "ACards must be JSON (for example [[1,2,3]]) or @FILE.json / @FILE.csv, got '1,2,3'");
}

}  // namespace
