// The interface of the automation object: 7 inherited placeholder
// operations, then the 77 sysvexon_ operations in interface order with their
// DISPIDs, argument names, types and directions, and each one's reference
// record (operation_reference.h). The single source of truth for the RPC
// dispatch, the interface description, vexonctl's help and the operations
// reference (vexon-opdoc).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "automation/operation_reference.h"

namespace vexon {

enum class TArgType { I4, UI1, BSTR, DATE, VARIANT };
enum class TArgDir { In, InOut, RetVal };

struct TArgDesc {
  std::string Name;
  TArgType Type;
  TArgDir Dir;
};

struct TOpDesc {
  int Number;        // 1..77 for sysvexon_ operations, 0 for the placeholders
  int32_t DispId;
  std::string Name;
  bool Queued;       // puts a request into the request queue
  bool Inherited;    // placeholder of the inherited interface: always fails
  std::string Summary;
  std::vector<TArgDesc> Args;  // interface order; Value (retval) last when present
  const TOpReference* Ref = nullptr;  // null only for the inherited placeholders

  bool HasValue() const { return !Args.empty() && Args.back().Dir == TArgDir::RetVal; }
};

const std::vector<TOpDesc>& OperationTable();
// The operation of that name, or null. The "sysvexon_" prefix may be left
// out of `name`.
const TOpDesc* FindOperation(const std::string& name);
const char* TypeName(TArgType t);
const char* DirName(TArgDir d);

// Identity of the interface.
struct TInterfaceIdentity {
  static constexpr const char* Library = "SrvVexon";
  static constexpr const char* LibraryHelp = "SrvVexon Library";
  static constexpr const char* Version = "1.0";
  static constexpr const char* Class = "SysVexonComServer";
  static constexpr const char* ClassHelp = "SysVexonComServer Object";
  static constexpr const char* ProgId = "SrvVexon.SysVexonComServer";
  static constexpr const char* Interface = "ISysVexonComServer";
  static constexpr const char* InterfaceHelp = "Dispatch interface for SysVexonComServer Object";
  static constexpr const char* LibraryGuid = "{5B0C6E3A-8F21-4D7B-9A4E-2C61D0F7B913}";
  static constexpr const char* ClassGuid = "{A7E4D1C2-3B58-4F96-8D0A-61C9E2B47F05}";
  static constexpr const char* InterfaceGuid = "{3F9D2A71-C6B4-4E08-B51D-9E7A04C8D362}";
};

}  // namespace vexon
