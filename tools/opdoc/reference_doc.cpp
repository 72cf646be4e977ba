#include "opdoc/reference_doc.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>

#include "util/result_codes.h"

namespace vexon::opdoc {

namespace {

constexpr const char* kPrefix = "sysvexon_";

std::string ShortName(const TOpDesc& op) { return op.Name.substr(std::string(kPrefix).size()); }

const char* Direction(TArgDir d) {
  switch (d) {
    case TArgDir::In: return "in";
    case TArgDir::InOut: return "in, out";
    case TArgDir::RetVal: return "retval";
  }
  return "?";
}

std::string CodeText(const TOpReference& r, int32_t code) {
  for (const TCodeNote& n : r.OwnCodeTexts)
    if (n.Code == code) return n.Text;
  if (code == -1) return "(the request is still pending)";
  return GetErrorTemplate(code);
}

// The note of one argument: its own, else the common one for its name.
std::string NoteOf(const TOpDesc& op, const TArgDesc& a) {
  if (a.Dir == TArgDir::RetVal) {
    if (a.Type == TArgType::BSTR) return "the text";
    return "result code of the call (below)";
  }
  std::string note = CommonArgNote(a.Name);
  for (const TArgNote& n : op.Ref->Args)
    if (n.Name == a.Name && !n.Text.empty()) note = n.Text;
  // The direction has a column of its own.
  const std::string inOut = "[in,out] ";
  if (note.rfind(inOut, 0) == 0) note.erase(0, inOut.size());
  return note;
}

std::vector<const TOpDesc*> Operations() {
  std::vector<const TOpDesc*> ops;
  for (const auto& op : OperationTable())
    if (!op.Inherited) ops.push_back(&op);
  return ops;
}

// Codes of the call and of the answer, each once, in order.
std::vector<int32_t> AllCodes(const TOpReference& r) {
  std::set<int32_t> codes(r.CallCodes.begin(), r.CallCodes.end());
  codes.insert(r.AnswerCodes.begin(), r.AnswerCodes.end());
  return {codes.begin(), codes.end()};
}

std::string GivenBy(const TOpReference& r, int32_t code) {
  const bool call = std::find(r.CallCodes.begin(), r.CallCodes.end(), code) != r.CallCodes.end();
  const bool answer = std::find(r.AnswerCodes.begin(), r.AnswerCodes.end(), code) != r.AnswerCodes.end();
  if (call && answer) return "call, answer";
  return call ? "call" : "answer";
}

std::string Mode(const TOpDesc& op) { return op.Queued ? "queued" : "immediate"; }

// Paragraphs that both forms open with, one string per paragraph.
std::vector<std::string> Preamble() {
  return {
      "Every operation is a JSON-RPC 2.0 method named sysvexon_NAME, with its arguments by name in params (an "
      "object; an array gives them in interface order). The answer's result holds Value (the result code of "
      "the call, or a text) and every [in,out] argument. vexonctl calls them as vexonctl NAME Arg=Value ... "
      "(the prefix may be left out there) and prints the code's text beside Value.",
      "Types: I4 a signed 32-bit integer, UI1 an integer 0..255, BSTR a string, DATE days since 1899-12-30 "
      "(or an ISO 8601 text), VARIANT a JSON array (rows of a two-dimensional array; vexonctl reads one from "
      "a file with Arg=@file.json or Arg=@file.csv). Every [in] argument must be given; [in,out] ones may be "
      "left out. A value outside its type, or a failure inside the operation (a 16-bit number out of range, "
      "an array of the wrong shape), is answered with a JSON-RPC error (-32602 for the arguments, -32000 "
      "for the operation) instead of a result code.",
      "Immediate operations complete inside the call. Queued operations check their arguments, put a request "
      "into the request queue and return at once with Value 0 and EventID (the request's number); the "
      "communication thread carries the request out over the line later. The client then polls "
      "sysvexon_GetCommandState or sysvexon_GetExtendedCommandState with that EventID until the state is no "
      "longer -1, reads the result code (the answer) and releases it with sysvexon_DeleteAnswer "
      "(vexonctl --wait does all three). The codes of each operation are listed as given by the call "
      "(Value) or by the answer.",
      "Configured means that an autoconfiguration has found at least one controller (31 otherwise). "
      "MakeAdr 0 addresses every controller. The texts of the codes are the server's own (Russian); "
      "%s in the texts of 91 to 96 stands for the facility code and the number of the card concerned.",
  };
}

// ---- Markdown ----

std::string MdEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '|') out += "\\|";
    else out += c;
  }
  return out;
}

// GitHub's anchor of a heading made of letters, digits and '_' only.
std::string Anchor(const std::string& heading) {
  std::string a;
  for (char c : heading) a += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a;
}

void MdOperation(std::ostringstream& o, const TOpDesc& op) {
  const TOpReference& r = *op.Ref;
  o << "## " << op.Name << "\n\n";
  o << "Operation " << op.Number << " of the interface, DISPID " << op.DispId << ", " << Mode(op) << ".\n\n";
  o << MdEscape(r.What) << "\n\n";
  o << "| Argument | Type | Direction | Range and meaning |\n|---|---|---|---|\n";
  for (const TArgDesc& a : op.Args)
    o << "| `" << a.Name << "` | " << TypeName(a.Type) << " | " << Direction(a.Dir) << " | "
      << MdEscape(NoteOf(op, a)) << " |\n";
  if (op.Args.empty()) o << "| (none) | | | |\n";
  o << "\n**Result.** " << MdEscape(r.Result) << "\n\n";
  const auto codes = AllCodes(r);
  if (codes.empty()) {
    o << "**Result codes.** None: the operation reports nothing.\n\n";
  } else {
    o << "**Result codes.**\n\n| Code | Given by | Text |\n|---|---|---|\n";
    for (int32_t c : codes) o << "| " << c << " | " << GivenBy(r, c) << " | " << MdEscape(CodeText(r, c)) << " |\n";
    o << "\n";
  }
  o << "**Example.**\n\n```\nvexonctl " << r.Example << "\n```\n\n";
}

// ---- roff ----

std::string RoffEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  // A line that starts with a dot or an apostrophe would be a request.
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

void ManOperation(std::ostringstream& o, const TOpDesc& op) {
  const TOpReference& r = *op.Ref;
  o << ".SS " << RoffEscape(op.Name) << "\n";
  o << "Operation " << op.Number << ", DISPID " << op.DispId << ", " << Mode(op) << ".\n";
  o << ".PP\n" << RoffEscape(r.What) << "\n";
  for (const TArgDesc& a : op.Args) {
    o << ".TP\n.B " << RoffEscape(a.Name) << "\n";
    o << TypeName(a.Type) << ", " << Direction(a.Dir) << ": " << RoffEscape(NoteOf(op, a)) << "\n";
  }
  o << ".PP\n.B Result.\n" << RoffEscape(r.Result) << "\n";
  const auto codes = AllCodes(r);
  o << ".PP\n.B Result codes.\n";
  if (codes.empty()) o << "None: the operation reports nothing.\n";
  for (int32_t c : codes) {
    o << ".TP\n.B " << RoffEscape(std::to_string(c)) << "\n";
    o << "(" << GivenBy(r, c) << ") " << RoffEscape(CodeText(r, c)) << "\n";
  }
  o << ".PP\n.B Example.\n.RS\n.nf\nvexonctl " << RoffEscape(r.Example) << "\n.fi\n.RE\n";
}

// The words of an example; single quotes group words with blanks.
std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool IsInteger(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtoll(s.c_str(), &end, 0);
  return *end == '\0';
}

}  // namespace

std::string Markdown() {
  std::ostringstream o;
  o << "# srvvexon operations\n\n";
  o << "<!-- Generated by vexon-opdoc from the operation table (src/automation/operation_table.cpp and "
       "operation_reference.cpp). Do not edit: change the table, then run "
       "`cmake --build <build dir> --target update-operations-doc`. -->\n\n";
  for (const auto& p : Preamble()) o << MdEscape(p) << "\n\n";
  o << "The result codes and their texts are listed at the end: [Result codes](#result-codes).\n\n";
  o << "| # | Operation | Mode | What |\n|---|---|---|---|\n";
  for (const TOpDesc* op : Operations())
    o << "| " << op->Number << " | [" << op->Name << "](#" << Anchor(op->Name) << ") | " << Mode(*op) << " | "
      << MdEscape(op->Summary) << " |\n";
  o << "\n";
  for (const TOpDesc* op : Operations()) MdOperation(o, *op);
  o << "## Result codes\n\n| Code | Text |\n|---|---|\n";
  for (int32_t c = 0; c <= 96; ++c)
    if (!GetErrorTemplate(c).empty()) o << "| " << c << " | " << MdEscape(GetErrorTemplate(c)) << " |\n";
  o << "\nAny other code reads \"" << GetErrorStr(-1) << "\".\n";
  return o.str();
}

std::string ManPage(const std::string& version, const std::string& date) {
  std::ostringstream o;
  o << ".TH SRVVEXON\\-OPERATIONS 7 \"" << date << "\" \"srvvexon " << version << "\" \"srvvexon operations\"\n";
  o << ".SH NAME\nsrvvexon\\-operations \\- the operations of srvvexon's JSON\\-RPC interface\n";
  o << ".SH DESCRIPTION\n";
  bool first = true;
  for (const auto& p : Preamble()) {
    if (!first) o << ".PP\n";
    first = false;
    o << RoffEscape(p) << "\n";
  }
  o << ".SH OPERATIONS\n";
  for (const TOpDesc* op : Operations()) ManOperation(o, *op);
  o << ".SH RESULT CODES\n";
  for (int32_t c = 0; c <= 96; ++c) {
    if (GetErrorTemplate(c).empty()) continue;
    o << ".TP\n.B " << c << "\n" << RoffEscape(GetErrorTemplate(c)) << "\n";
  }
  o << ".PP\nAny other code reads \"" << RoffEscape(GetErrorStr(-1)) << "\".\n";
  o << ".SH SEE ALSO\n.BR srvvexon (1),\n.BR vexonctl (1)\n";
  return o.str();
}

std::vector<std::string> CheckReference(const TOpDesc& op) {
  std::vector<std::string> faults;
  const auto fault = [&](const std::string& s) { faults.push_back(op.Name + ": " + s); };
  if (!op.Ref) {
    fault("no reference record");
    return faults;
  }
  const TOpReference& r = *op.Ref;
  if (r.What.empty()) fault("no description");
  for (int32_t c : AllCodes(r))
    if (c != -1 && CodeText(r, c).empty()) fault("code " + std::to_string(c) + " has no text");
  const auto codes = AllCodes(r);
  for (const TCodeNote& n : r.OwnCodeTexts)
    if (std::find(codes.begin(), codes.end(), n.Code) == codes.end())
      fault("own text for code " + std::to_string(n.Code) + ", which it does not give");
  if (op.Queued && r.AnswerCodes.empty() && op.Name != "sysvexon_SetCardZone") fault("queued but no answer codes");
  if (!op.Queued && !r.AnswerCodes.empty()) fault("answer codes for an immediate operation");
  if (op.HasValue() && op.Args.back().Type == TArgType::I4 && r.CallCodes.empty()) fault("Value but no codes");

  const auto words = Words(r.Example);
  size_t i = 0;
  while (i < words.size() && words[i].rfind("--", 0) == 0) ++i;
  if (i == words.size()) {
    fault("example names no operation");
    return faults;
  }
  if (words[i] != ShortName(op) && words[i] != op.Name) fault("example calls " + words[i]);
  if (!op.Queued && r.Example.find("--wait") != std::string::npos) fault("example waits for an immediate operation");
  std::set<std::string> given;
  for (++i; i < words.size(); ++i) {
    const auto eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      fault("example word " + words[i] + " is not Name=Value");
      continue;
    }
    const std::string name = words[i].substr(0, eq), value = words[i].substr(eq + 1);
    const TArgDesc* arg = nullptr;
    for (const auto& a : op.Args)
      if (a.Name == name && a.Dir != TArgDir::RetVal) arg = &a;
    if (!arg) {
      fault("example names " + name + ", which is no argument");
      continue;
    }
    if (!given.insert(name).second) fault("example gives " + name + " twice");
    if (arg->Type == TArgType::I4 && !IsInteger(value)) fault("example's " + name + " is not an integer");
    if (arg->Type == TArgType::UI1 && (!IsInteger(value) || std::strtoll(value.c_str(), nullptr, 0) < 0 ||
                                       std::strtoll(value.c_str(), nullptr, 0) > 255))
      fault("example's " + name + " is not 0..255");
  }
  for (const auto& a : op.Args)
    if (a.Dir == TArgDir::In && !given.count(a.Name)) fault("example leaves out " + a.Name);
  return faults;
}

}  // namespace vexon::opdoc
