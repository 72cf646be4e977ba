// libFuzzer: the variant-array converter, from the JSON of a call's
// argument to the two-dimensional array an operation reads and on to the
// card-list blocks built from it.
//
// Input: byte 0 bit 0, the rest is JSON text (otherwise the harness builds
// an array from the bytes: plain nested rows or the {"lbound","data"} form,
// cells of every type); bytes 1-2 the lower bounds the operation reads
// from; byte 3 the row count handed to the card-list builders.
//
// Checked after every input: conversion fails only with the documented
// exceptions; a variant goes back to JSON and converts again to the same
// JSON; the matrix's bounds describe its rows and columns; every cell
// outside them is refused, every cell inside is either its integer or
// refused, and the builders' reader agrees with that cell by cell; a card
// list that builds has the documented number of blocks and entries.
#include <fuzzer/FuzzedDataProvider.h>

#include "automation/variant_array.h"
#include "fuzz_util.h"
#include "rpc/variant_json.h"
#include "util/log.h"

using namespace vexon;
using nlohmann::json;

namespace {

json Cell(FuzzedDataProvider& p) {
  switch (p.ConsumeIntegralInRange(0, 9)) {
    case 0: return p.ConsumeIntegral<int64_t>();
    case 1: return std::to_string(p.ConsumeIntegralInRange<int64_t>(-70000, 70000));
    case 2: return p.ConsumeBool();
    case 3: return nullptr;
    case 4: return p.ConsumeFloatingPoint<double>();
    case 5: return json::array({p.ConsumeIntegral<uint8_t>()});
    case 6: return "x";
    default: return p.ConsumeIntegralInRange(0, 300);
  }
}

json WithBounds(int32_t low1, int32_t low2, json data) {
  json o = json::object();
  o["lbound"] = json::array({low1, low2});
  o["data"] = std::move(data);
  return o;
}

json Build(FuzzedDataProvider& p) {
  const int rows = p.ConsumeIntegralInRange(0, 50);
  const int cols = p.ConsumeIntegralInRange(0, 8);
  json data = json::array();
  for (int r = 0; r < rows; ++r) {
    json row = json::array();
    const int n = p.ConsumeIntegralInRange(0, 20) == 0 ? p.ConsumeIntegralInRange(0, 8) : cols;
    for (int c = 0; c < n; ++c) row.push_back(Cell(p));
    data.push_back(std::move(row));
  }
  switch (p.ConsumeIntegralInRange(0, 3)) {
    case 0: return data;
    case 1: {
      const int32_t low1 = p.ConsumeIntegral<int32_t>();
      const int32_t low2 = p.ConsumeIntegral<int32_t>();
      return WithBounds(low1, low2, std::move(data));
    }
    case 2: {
      const int32_t low1 = p.ConsumeIntegralInRange(-2, 2);
      const int32_t low2 = p.ConsumeIntegralInRange(-2, 2);
      return WithBounds(low1, low2, std::move(data));
    }
    default: {
      // Wrapped by moving: an initializer list would copy the whole array
      // once per level.
      json d = std::move(data);
      for (int i = p.ConsumeIntegralInRange(0, 70); i > 0; --i) {
        json outer = json::array();
        outer.push_back(std::move(d));
        d = std::move(outer);
      }
      return d;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const bool text = data[0] & 1;
  const int32_t low1 = static_cast<int8_t>(data[1]) % 3;
  const int32_t low2 = static_cast<int8_t>(data[2]) % 3;
  const int32_t count = static_cast<int8_t>(data[3]);
  json j;
  if (text) {
    j = json::parse(data + 4, data + size, nullptr, false);
    if (j.is_discarded()) return 0;
    int depth = 0;
    // The dispatcher refuses deeper texts before they reach the converter.
    for (const json* v = &j; (v->is_array() || v->is_object()) && !v->empty(); ++depth) {
      if (depth > 70) return 0;
      v = v->is_array() ? &v->front() : &v->begin().value();
    }
  } else {
    FuzzedDataProvider p(data + 4, size - 4);
    j = Build(p);
  }

  TVariant v;
  try {
    v = VariantFromJson(j);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const json back = VariantToJson(v);
  // A variant's own JSON converts back.
  TVariant again;
  bool convertsBack = true;
  try {
    again = VariantFromJson(back);
  } catch (const std::invalid_argument&) {
    convertsBack = false;
  }
  FUZZ_CHECK(convertsBack);
  FUZZ_CHECK(VariantToJson(again) == back);

  std::optional<TVariantMatrix> m;
  try {
    m.emplace(v, "Cards", low1, low2);
  } catch (const TAutomationError&) {
    return 0;
  }
  const int64_t rows = int64_t{m->High1()} - m->Low1() + 1;
  const int64_t cols = int64_t{m->High2()} - m->Low2() + 1;
  FUZZ_CHECK(rows >= 0 && cols >= 0);
  if (v.IsArray() && v.PlainBounds) {
    FUZZ_CHECK(m->Low1() == low1 && m->Low2() == low2);
    FUZZ_CHECK(static_cast<size_t>(rows) == v.Items.size());
  }
  const TCellReader reader = m->Reader();
  const int32_t r0 = m->Low1() == INT32_MIN ? m->Low1() : m->Low1() - 1;
  const int32_t c0 = m->Low2() == INT32_MIN ? m->Low2() : m->Low2() - 1;
  for (int64_t r = r0; r <= int64_t{m->High1()} + 1 && r < int64_t{r0} + 60 && r <= INT32_MAX; ++r) {
    for (int64_t c = c0; c <= int64_t{m->High2()} + 1 && c < int64_t{c0} + 12 && c <= INT32_MAX; ++c) {
      const bool inside = r >= m->Low1() && r <= m->High1() && c >= m->Low2() && c <= m->High2();
      int64_t value = 0;
      bool ok = true;
      try {
        value = m->At(static_cast<int32_t>(r), static_cast<int32_t>(c));
      } catch (const TAutomationError&) {
        ok = false;
      }
      if (!inside) FUZZ_CHECK(!ok);
      // The builders read the same cells by the same indexes (their rows
      // and columns from 1 are the array's own 1).
      int32_t viaReader = 0;
      std::string error;
      const bool readerOk = reader(static_cast<int32_t>(r), static_cast<int32_t>(c), viaReader, error);
      FUZZ_CHECK(readerOk == ok);
      FUZZ_CHECK(readerOk == error.empty());
      if (ok) FUZZ_CHECK(viaReader == value);
    }
  }

  TCardBufList cards;
  const TCardBuildResult built = BuildCardBlocks(reader, count, cards);
  if (built.Ok()) {
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    FUZZ_CHECK(cards.size() == n / TCardBufItem::kEntries + 1);
    FUZZ_CHECK(cards.back().Length == (n % TCardBufItem::kEntries) * TCardBufItem::kEntrySize);
  }
  TAutCardBufList aut;
  const TCardBuildResult autBuilt = BuildAutCardBlocks(reader, count, aut);
  if (autBuilt.Ok() && count >= 0) {
    const size_t n = static_cast<size_t>(count);
    FUZZ_CHECK(aut.size() == (n + TAutCardBufItem::kEntries - 1) / TAutCardBufItem::kEntries);
  }
  return 0;
}
