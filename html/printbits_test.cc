#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "html.h"

namespace {

std::string bits(uint64_t v) {
  char *text = nullptr;
  printbits(&text, v);
  std::string s = text;
  free(text);
  return s;
}

TEST(PrintbitsTest, WritesDigitsFromHighestSetBitWithoutLeadingZeros) {
  const struct {
    uint64_t value;
    std::string want;
  } cases[] = {
      {0, "0b0"},
      {1, "0b1"},
      {2, "0b10"},
      {5, "0b101"},
      {0x80, "0b10000000"},
      {1ULL << 63, "0b1" + std::string(63, '0')},
      {~0ULL, "0b" + std::string(64, '1')},
  };
  for (const auto &c : cases) EXPECT_EQ(c.want, bits(c.value)) << "value " << c.value;
}

}  // namespace
