// vexon-opdoc: prints the operations reference from the operation table.
//
//   vexon-opdoc --markdown                      doc/operations.md
//   vexon-opdoc --man VERSION DATE              srvvexon-operations(7), roff
//   vexon-opdoc --markdown --output FILE        the same into FILE
//
// Before printing it checks every operation's reference record (examples
// against the arguments, codes against their texts) and prints nothing,
// ending with status 1, when one is faulty.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "opdoc/reference_doc.h"

using namespace vexon;

int main(int argc, char** argv) {
  std::string mode, version, date, output;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--markdown") {
      mode = a;
    } else if (a == "--man" && i + 2 < argc) {
      mode = a;
      version = argv[++i];
      date = argv[++i];
    } else if (a == "--output" && i + 1 < argc) {
      output = argv[++i];
    } else {
      std::fprintf(stderr, "usage: vexon-opdoc --markdown | --man VERSION DATE [--output FILE]\n");
      return 2;
    }
  }
  if (mode.empty()) {
    std::fprintf(stderr, "usage: vexon-opdoc --markdown | --man VERSION DATE [--output FILE]\n");
    return 2;
  }
  bool sound = true;
  for (const auto& op : OperationTable()) {
    if (op.Inherited) continue;
    for (const auto& f : opdoc::CheckReference(op)) {
      std::fprintf(stderr, "vexon-opdoc: %s\n", f.c_str());
      sound = false;
    }
  }
  if (!sound) return 1;
  const std::string text = mode == "--markdown" ? opdoc::Markdown() : opdoc::ManPage(version, date);
  if (output.empty()) {
    std::cout << text;
    return std::cout.good() ? 0 : 1;
  }
  std::ofstream f(output, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (f.fail()) {
    std::fprintf(stderr, "vexon-opdoc: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
