// What the operation table says about each operation beyond its signature:
// a few sentences on what it does, the range and meaning of its arguments,
// what its result carries, the result codes it can give and a vexonctl
// example. The table (operation_table.h) owns these records: every
// operation carries a pointer to its own, and the table refuses to build
// without one. The operations reference (doc/operations.md and the manual
// page srvvexon-operations(7), made by vexon-opdoc) is printed from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexon {

// The range and meaning of one argument.
struct TArgNote {
  std::string Name;
  std::string Text;
};

// A code that means something else for one operation than the result code
// of the same number (CheckDispatch's Value 1: the identifier is not a
// number), with the text it stands for there.
struct TCodeNote {
  int32_t Code = 0;
  std::string Text;
};

struct TOpReference {
  std::string What;              // two or three sentences
  // Notes by argument name, in interface order. An argument with no note,
  // or an empty one, gets CommonArgNote; a note on the first of a run of
  // like arguments (b1 for b1..b8) says so in its text. Every name is one
  // of the operation's arguments (the table checks).
  std::vector<TArgNote> Args;
  std::string Result;            // what Value, the out arguments or the answer carry
  std::vector<int32_t> CallCodes;    // Value of the call itself
  std::vector<int32_t> AnswerCodes;  // state of the answer (queued operations only)
  std::string Example;           // the words after "vexonctl"
  // Codes of CallCodes or AnswerCodes printed with a text of their own
  // instead of the result code table's.
  std::vector<TCodeNote> OwnCodeTexts{};
};

// The record of the operation numbered `number` (1..77); throws
// std::logic_error when there is none.
const TOpReference& OperationReference(int number);

// The note an argument gets when its operation has no note of its own for
// it (EventID, MakeAdr, DriverAdr, FacilityCode, CardID...); empty when
// there is none.
std::string CommonArgNote(const std::string& name);

}  // namespace vexon
