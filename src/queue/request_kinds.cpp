#include "queue/request_kinds.h"

namespace vexon {

const char* PriorityClass(uint8_t kind) {
  if (kind <= 12) return "00";
  if (kind == 68 || kind == 69) return "01";
  if ((kind >= 64 && kind <= 67) || (kind >= 70 && kind <= 76)) return "02";
  if (kind == 48 || kind == 144) return "03";
  if (kind >= 16 && kind <= 36) return "05";
  return "99";
}

}  // namespace vexon
