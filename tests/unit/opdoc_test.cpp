// The operations reference printed from the operation table: every
// operation carries a sound reference record (its vexonctl example calls it
// with every [in] argument and only its own arguments, its codes have
// texts), the check catches a record that is not, and both printed forms
// have a section for each of the 77 operations with its arguments and codes.
#include <gtest/gtest.h>

#include <string>

#include "opdoc/reference_doc.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {

TEST(OperationReference, EveryOperationHasASoundRecord) {
  int served = 0;
  for (const auto& op : OperationTable()) {
    if (op.Inherited) {
      EXPECT_EQ(op.Ref, nullptr) << op.Name;
      continue;
    }
    ++served;
    ASSERT_NE(op.Ref, nullptr) << op.Name;
    for (const auto& fault : opdoc::CheckReference(op)) ADD_FAILURE() << fault;
  }
  EXPECT_EQ(served, 77);
}

TEST(OperationReference, CheckCatchesAFaultyRecord) {
  const TOpDesc& openIm = *FindOperation("OpenIm");
  const auto faultsOf = [&](TOpReference ref) {
    TOpDesc op = openIm;
    op.Ref = &ref;
    std::string all;
    for (const auto& f : opdoc::CheckReference(op)) all += f + "\n";
    return all;
  };
  TOpReference ref = *openIm.Ref;
  EXPECT_EQ(faultsOf(ref), "");

  ref.Example = "--wait OpenIm MakeAdr=564 DriverAdr=2";
  EXPECT_NE(faultsOf(ref).find("leaves out ImNumber"), std::string::npos);
  ref.Example = "--wait OpenIm MakeAdr=564 DriverAdr=2 ImNumber=1 Door=3";
  EXPECT_NE(faultsOf(ref).find("names Door"), std::string::npos);
  ref.Example = "--wait CloseIm MakeAdr=564 DriverAdr=2 ImNumber=1";
  EXPECT_NE(faultsOf(ref).find("calls CloseIm"), std::string::npos);
  ref.Example = "--wait OpenIm MakeAdr=564 DriverAdr=256 ImNumber=1";
  EXPECT_NE(faultsOf(ref).find("DriverAdr is not 0..255"), std::string::npos);
  ref.Example = "--wait OpenIm MakeAdr=x DriverAdr=2 ImNumber=1";
  EXPECT_NE(faultsOf(ref).find("MakeAdr is not an integer"), std::string::npos);

  ref = *openIm.Ref;
  ref.CallCodes.push_back(77);  // undefined
  EXPECT_NE(faultsOf(ref).find("code 77 has no text"), std::string::npos);
  ref = *openIm.Ref;
  ref.OwnCodeTexts = {{5, "not given"}};
  EXPECT_NE(faultsOf(ref).find("own text for code 5"), std::string::npos);
  ref = *openIm.Ref;
  ref.AnswerCodes.clear();
  EXPECT_NE(faultsOf(ref).find("queued but no answer codes"), std::string::npos);
}

TEST(OperationReference, ANoteForAnArgumentTheOperationLacksIsRefused) {
  // The table checks the notes when it is built; a record naming a foreign
  // argument would have stopped OperationTable() above. Here: every note of
  // every record names an argument of its own operation.
  for (const auto& op : OperationTable()) {
    if (op.Inherited) continue;
    for (const auto& note : op.Ref->Args) {
      bool known = false;
      for (const auto& a : op.Args) known = known || a.Name == note.Name;
      EXPECT_TRUE(known) << op.Name << " notes " << note.Name;
    }
  }
}

TEST(OperationReference, MarkdownAndManPageHaveEverySectionArgumentAndCode) {
  const std::string md = opdoc::Markdown();
  const std::string man = opdoc::ManPage("9.9.9", "2000-01-01");
  EXPECT_NE(man.find(".TH SRVVEXON\\-OPERATIONS 7 \"2000-01-01\" \"srvvexon 9.9.9\""), std::string::npos);
  for (const auto& op : OperationTable()) {
    if (op.Inherited) {
      EXPECT_EQ(md.find(op.Name), std::string::npos) << op.Name;
      continue;
    }
    const size_t at = md.find("\n## " + op.Name + "\n");
    ASSERT_NE(at, std::string::npos) << op.Name;
    const size_t end = md.find("\n## ", at + 1);
    const std::string section = md.substr(at, end - at);
    for (const auto& a : op.Args) EXPECT_NE(section.find("| `" + a.Name + "` |"), std::string::npos) << op.Name;
    for (int32_t c : op.Ref->CallCodes) {
      if (c < 0) continue;  // -1 (pending) has no row of its own
      EXPECT_NE(section.find("| " + std::to_string(c) + " | "), std::string::npos) << op.Name << " " << c;
    }
    EXPECT_NE(section.find("vexonctl " + op.Ref->Example), std::string::npos) << op.Name;

    EXPECT_NE(man.find(".SS " + op.Name + "\n"), std::string::npos) << op.Name;
  }
  // A code with a meaning of its own is printed with that text, in both forms.
  EXPECT_NE(md.find("| 1 | call | Идентификатор - не число |"), std::string::npos);
  EXPECT_NE(man.find("(call) Идентификатор \\- не число\n"), std::string::npos);
  // Codes 91 to 96 are printed as templates, not with the card of the last
  // failure filled in.
  SetCardErrorContext(5, 1234);
  EXPECT_NE(opdoc::Markdown().find("| 91 | Обнаружена несистемная карта %s / %s. Передача невозможна |"),
            std::string::npos);
  SetCardErrorContext(0, 0);
}

}  // namespace
