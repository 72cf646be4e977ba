#include "automation/call.h"

#include <cerrno>
#include <cstdlib>

namespace vexon {

int64_t TVariant::ToInt(const char* what) const {
  switch (What) {
    case Kind::Int:
      return Int;
    case Kind::Bool:
      return Bool ? -1 : 0;
    case Kind::Float:
      // Range first: casting a double outside int64 is undefined.
      if (!(Float >= -9.2e18 && Float <= 9.2e18) || Float != static_cast<double>(static_cast<int64_t>(Float)))
        throw TAutomationError(std::string(what) + ": not an integer");
      return static_cast<int64_t>(Float);
    case Kind::String: {
      errno = 0;
      char* end = nullptr;
      const long long v = std::strtoll(Text.c_str(), &end, 10);
      if (Text.empty() || *end != '\0' || errno == ERANGE)
        throw TAutomationError(std::string(what) + ": '" + Text + "' is not a number");
      return v;
    }
    default:
      throw TAutomationError(std::string(what) + ": not a number");
  }
}

size_t TCall::Index(const char* name) const {
  for (size_t i = 0; i < op_->Args.size(); ++i)
    if (op_->Args[i].Name == name) return i;
  throw std::logic_error(op_->Name + " has no argument " + name);
}

int32_t TCall::I4(const char* name) const { return static_cast<int32_t>(std::get<int64_t>(args_[Index(name)])); }
uint8_t TCall::UI1(const char* name) const { return static_cast<uint8_t>(std::get<int64_t>(args_[Index(name)])); }
const std::string& TCall::Str(const char* name) const { return std::get<std::string>(args_[Index(name)]); }
double TCall::Date(const char* name) const { return std::get<double>(args_[Index(name)]); }
const TVariant& TCall::Variant(const char* name) const { return std::get<TVariant>(args_[Index(name)]); }

void TCall::Set(const char* name, int64_t v) { args_[Index(name)] = v; }
void TCall::Set(const char* name, const std::string& v) { args_[Index(name)] = v; }
void TCall::Set(const char* name, TVariant v) { args_[Index(name)] = std::move(v); }

}  // namespace vexon
