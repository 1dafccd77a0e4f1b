#include "tessel.h"

#include <gtest/gtest.h>

namespace {

TEST(TesselTimeTest, RoundTripThroughNanosecondCount) {
  const struct {
    uint32_t sec, nsec;
  } cases[] = {{0, 0}, {1, 999999999}, {12, 5}, {0xFFFFFFFFu, 999999999}, {1700000000, 123456789}};
  for (const auto &c : cases) {
    uint64_t v = 0;
    tl_concat_nums(c.sec, c.nsec, &v);
    EXPECT_EQ(v, (uint64_t)c.sec << 32 | c.nsec);
    tl_time_transf(&v);
    EXPECT_EQ(v, (uint64_t)c.sec * 1000000000u + c.nsec) << c.sec << "s" << c.nsec;
    tl_time_detransf(&v);
    uint32_t s = 0, ns = 0;
    tl_interpret_time(&v, &s, &ns);
    EXPECT_EQ(s, c.sec);
    EXPECT_EQ(ns, c.nsec);
  }
}

TEST(TesselTimeTest, InterpretCarriesExcessNanoseconds) {
  uint64_t v = 0;
  tl_concat_nums(3, 2500000000u, &v);
  uint32_t s = 0, ns = 0;
  tl_interpret_time(&v, &s, &ns);
  EXPECT_EQ(s, 5u);
  EXPECT_EQ(ns, 500000000u);
}

TEST(TesselShiftTest, ShiftsByLowestSetBitOfMask) {
  const struct {
    uint32_t mask, masked, field;
  } cases[] = {
      {0x00000001u, 0x1u, 0x1u},          // lowest set bit 0
      {0x000000FFu, 0xA5u, 0xA5u},        // lowest set bit 0, wide field
      {0x000000F0u, 0x000000C0u, 0xCu},   // lowest set bit 4
      {0x80000000u, 0x80000000u, 0x1u},   // lowest set bit 31
  };
  for (const auto &c : cases) {
    EXPECT_EQ(tl_shiftval(c.masked, c.mask), c.field) << std::hex << c.mask;
    EXPECT_EQ(tl_rshiftval(c.field, c.mask, -1), (uint64_t)c.masked) << std::hex << c.mask;
  }
}

TEST(TesselShiftTest, ZeroMaskLeavesValueAlone) {
  EXPECT_EQ(tl_shiftval(0x1234u, 0), 0x1234u);
  EXPECT_EQ(tl_rshiftval(0x123456789ull, 0, -1), 0x123456789ull);
}

TEST(TesselShiftTest, RightShiftKeepsBitsAboveThirtyTwo) {
  // A set value wider than its field is positioned whole; the caller masks.
  EXPECT_EQ(tl_rshiftval(0x1FFull, 0x80000000u, -1), 0x1FFull << 31);
}

}  // namespace
