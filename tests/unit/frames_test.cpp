#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "link/frames.h"
#include "link/link.h"

using namespace vexon;

static std::vector<uint8_t> Frame(uint8_t route, uint8_t a1, uint8_t a2, uint8_t cmd, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> out(data.size() + 6);
  const size_t n = BuildFrame(route, a1, a2, cmd, data.data(), data.size(), out.data());
  EXPECT_EQ(n, out.size());
  return out;
}

TEST(Frames, ExactBytesOfKnownRequests) {
  EXPECT_EQ(Frame(1, 0xFF, 0xFF, 0x21), (std::vector<uint8_t>{0x01, 0x03, 0xFF, 0xFF, 0x21, 0x23}));
  EXPECT_EQ(Frame(0, 0, 0, 0x72, {0}), (std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00, 0x72, 0x00, 0x76}));
  uint8_t empty[6];
  EXPECT_EQ(BuildEmptyFrame(1, 3, 0x21, 0x42, empty), 6u);
  EXPECT_EQ(std::vector<uint8_t>(empty, empty + 6), (std::vector<uint8_t>{0x01, 0x03, 0x03, 0x21, 0x42, 0x62}));
}

TEST(Frames, LongestFrameAndTooLongData) {
  std::vector<uint8_t> data(252, 0xAB);
  std::vector<uint8_t> out(300);
  EXPECT_EQ(BuildFrame(1, 1, 1, 0x22, data.data(), 252, out.data()), 258u);
  EXPECT_EQ(out[1], 255);
  std::vector<uint8_t> more(253);
  EXPECT_THROW(BuildFrame(1, 1, 1, 0x22, more.data(), 253, out.data()), std::out_of_range);
}

TEST(Frames, RouteRule) {
  for (int c = 0; c < 256; ++c) {
    const bool primary = c == 0x70 || c == 0x71 || c == 0x72 || c == 0x81 || c == 0x90;
    EXPECT_EQ(RouteOf(static_cast<uint8_t>(c)), primary ? 0 : 1) << c;
  }
}

TEST(Frames, QualityAnswerChecksum) {
  const uint8_t q[5] = {0x00, 0x02, 0x80, 0x02, 0x80};
  EXPECT_EQ(FrameChecksum(q, 5), 0x80);
  uint8_t built[8];
  const uint8_t two = 2;
  EXPECT_EQ(BuildAnswerFrame(0x80, &two, 1, built), 5u);
  EXPECT_EQ(std::vector<uint8_t>(built, built + 5), std::vector<uint8_t>(q, q + 5));
}

TEST(Frames, BcdAndBits) {
  EXPECT_EQ(ToBcd(0), 0x00);
  EXPECT_EQ(ToBcd(99), 0x99);
  EXPECT_EQ(ToBcd(10), 0x10);
  EXPECT_EQ(ToBcd(159), 0xF9);
  EXPECT_THROW(ToBcd(160), std::out_of_range);
  EXPECT_THROW(ToBcd(-1), std::out_of_range);
  EXPECT_EQ(SetBits(0x01, 0x80), 0x81);
  EXPECT_EQ(ClearBits(0xFF, 0x0F), 0xF0);
}

TEST(LinkResult, StatusToResultCode) {
  const std::pair<uint16_t, int32_t> map[] = {{0, 0},   {1, 1},   {2, 2},   {3, 15},  {4, 16},  {7, 19},
                                              {8, 20},  {9, 21},  {10, 22}, {12, 24}, {13, 25}, {14, 26},
                                              {15, 27}, {16, 13}, {17, 28}, {26, 29}, {27, 30}, {28, 32},
                                              {29, 41}, {30, 57}, {18, 14}, {99, 14}};
  for (auto [s, r] : map) EXPECT_EQ(LinkResultOf(s), r) << s;
}
