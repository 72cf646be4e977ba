// libFuzzer: loading "cards.bin" (the active card segments, 9-byte
// records). Any file content loads without crashing.
//
// Checked after every input: no more segments than whole records; a card
// found from a system index lies in a sent segment that holds the index,
// and when no segments overlap it leads back to the same index; a save of what was loaded, loaded again and saved again, gives
// the same bytes.
#include "fuzz_util.h"
#include "model/card_segments.h"
#include "util/log.h"

using namespace vexon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir = [] {
    spdlog::set_level(spdlog::level::off);
    return fuzz::ScratchDir("cards");
  }();
  const std::filesystem::path in = dir / "cards.bin", first = dir / "first.bin", second = dir / "second.bin";
  fuzz::WriteFileBytes(in, data, size);

  TCardSegments segments;
  segments.SetCardFilePath(in.string());
  segments.CreateActive();
  segments.LoadCardFile();
  const size_t count = segments.ActiveCount();
  FUZZ_CHECK(count <= size / kCardRecordSize);

  // Lookups at the segments' edges and a few fixed points.
  const TCardList active = segments.ActiveCopy();
  std::vector<uint32_t> probes = {0, 1, 2, 255, 256, 65535};
  for (size_t i = 0; i < active.Count() && i < 64; ++i) {
    const TCardItem& s = active.At(i);
    probes.push_back(s.FirstIndex);
    probes.push_back(s.FirstIndex + static_cast<uint32_t>(s.LastCard - s.FirstCard));
  }
  // Whether no two segments share an index, nor two of one facility a card:
  // then a card found from an index must lead back to that index.
  bool disjoint = true;
  for (size_t i = 0; i < active.Count() && disjoint; ++i)
    for (size_t j = i + 1; j < active.Count() && disjoint; ++j) {
      const TCardItem& a = active.At(i);
      const TCardItem& b = active.At(j);
      const uint32_t aLast = a.FirstIndex + static_cast<uint32_t>(a.LastCard - a.FirstCard);
      const uint32_t bLast = b.FirstIndex + static_cast<uint32_t>(b.LastCard - b.FirstCard);
      if (a.FirstIndex <= bLast && b.FirstIndex <= aLast) disjoint = false;
      if (a.FacilityCode == b.FacilityCode && a.FirstCard <= b.LastCard && b.FirstCard <= a.LastCard) disjoint = false;
    }
  for (uint32_t index : probes) {
    uint8_t fc = 0;
    uint16_t card = 0;
    if (!segments.GetCardFromSystemIndex(index, fc, card)) continue;
    // The card lies in a sent segment of its facility that holds the index.
    bool inSegment = false;
    for (size_t i = 0; i < active.Count(); ++i) {
      const TCardItem& s = active.At(i);
      const uint32_t last = s.FirstIndex + static_cast<uint32_t>(s.LastCard - s.FirstCard);
      if (s.Sent && s.FacilityCode == fc && s.FirstCard <= card && card <= s.LastCard && s.FirstIndex <= index &&
          index <= last && card - s.FirstCard == index - s.FirstIndex)
        inSegment = true;
    }
    FUZZ_CHECK(inSegment);
    if (!disjoint) continue;
    uint16_t back = 0;
    FUZZ_CHECK(segments.GetSystemIndexFromCard(fc, card, back) == TLookup::Found);
    FUZZ_CHECK(back == index);
  }

  TCardSegments copy;
  copy.SetCardFilePath(first.string());
  copy.CreateActive();
  FUZZ_CHECK(copy.CopyListToActive(active));
  TCardSegments reloaded;
  reloaded.SetCardFilePath(first.string());
  reloaded.CreateActive();
  FUZZ_CHECK(reloaded.LoadCardFile());
  FUZZ_CHECK(reloaded.ActiveCount() == count);
  reloaded.SetCardFilePath(second.string());
  FUZZ_CHECK(reloaded.SaveCardFile());
  FUZZ_CHECK(fuzz::ReadFileBytes(first) == fuzz::ReadFileBytes(second));
  return 0;
}
