// Base of every parameter object that a request can own.
#pragma once

namespace vexon {

class TParamObject {
 public:
  virtual ~TParamObject() = default;
};

}  // namespace vexon
