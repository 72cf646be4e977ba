// The operations reference printed from the operation table: Markdown
// (doc/operations.md) and a manual page, srvvexon-operations(7), in roff.
// Both come from the same walk over OperationTable() and each operation's
// reference record, so they cannot say different things.
#pragma once

#include <string>
#include <vector>

#include "automation/operation_table.h"

namespace vexon::opdoc {

std::string Markdown();
// `version` and `date` go into the page's title line.
std::string ManPage(const std::string& version, const std::string& date);

// What is wrong with an operation's reference record, one text per fault:
// an example that does not call this operation, names an argument it does
// not have, leaves out an [in] argument (the server refuses such a call) or
// gives a value that is not of the argument's type; a result code without
// a text; an own text for a code the operation does not give; a queued
// operation without answer codes, or a direct one with some. Empty when
// the record is sound.
std::vector<std::string> CheckReference(const TOpDesc& op);

}  // namespace vexon::opdoc
