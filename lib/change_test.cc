// Item writes, checked in the simulated card's state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "stat_test_fixture.h"

namespace orvik_test {
namespace {

std::string hex8(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

std::string rw_field(const std::string &name, const std::string &mask) {
  return item(name, "<offset>10</offset><bitmask>" + mask + "</bitmask><access>RW</access>");
}

TEST_F(RuntimeTest, ChangeRewritesOnlyTheItemsBits) {
  struct Case {
    const char *mask;
    uint32_t before;
    int mode;
    uint64_t value;
    uint32_t after;
  } cases[] = {
      {"00F0", 0x1234, MODE_TOGGLE, 0, 0x12C4},
      {"00F0", 0x1234, MODE_SET, 10, 0x12A4},
      {"00F0", 0x1234, 2, 0xA0, 0x12A4},  // any other mode: value already in position
      {"00F0", 0x1234, 2, 10, 0x1204},
      {"00F0", 0x1234, MODE_SET, 0x1F, 0x12F4},  // bits beyond the field are dropped
      {"00F0", 0x1234, 0x100 | MODE_SET, 10, 0x12A4},  // only the low 8 bits are the mode
      {"0", 0x1234, MODE_SET, 0x1DEADBEEF, 0xDEADBEEF},
      {"0", 0x1234, MODE_TOGGLE, 0, 0xFFFFEDCB},
  };
  for (const Case &c : cases) {
    write_file(card_, "vq 0x1000 0x10 " + hex8(c.before) + "\n");
    init(module("M", "VQBUS", {"0x1000"}, rw_field("f", c.mask)));
    EXPECT_EQ(OVKC_OK, ovkc_change_value("f", c.mode, c.value)) << c.mask << " mode " << c.mode;
    EXPECT_EQ("vq 0x1000 0x10 " + hex8(c.after) + "\n", read_file(card_))
        << c.mask << " mode " << c.mode << " value " << c.value;
  }
}

TEST_F(RuntimeTest, ChangeOnMdioWritesOneRegister) {
  write_file(card_, "mdio 0x3000 2 0x10 0x1234\n");
  init(module("PHY", "MDIO", {"0x3000"},
              item("f", "<offset>10</offset><mdiodev>2</mdiodev><bitmask>0F00</bitmask>"
                        "<size>D</size><access>RW</access>")));
  EXPECT_EQ(OVKC_OK, ovkc_change_value("f", MODE_SET, 5));
  EXPECT_EQ("mdio 0x3000 2 0x10 0x1534\n", read_file(card_));
  EXPECT_EQ(1, traced("mdwr "));  // the second register of size D is never written
  EXPECT_EQ(1, traced("unmap"));
}

TEST_F(RuntimeTest, ChangeRefusalsHaveTheirOwnResults) {
  write_file(card_, "vq 0x1000 0x10 0x1234\nfail-map 0x2000\n");
  init(module("M", "VQBUS", {"0x1000"},
              item("ro", "<offset>10</offset><access>RO</access>") +
                  item("cnt", "<access>CNT</access><param>1</param>")) +
       module("N", "VQBUS", {"0x2000"}, rw_field("unmapped", "F")));
  verbose = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_CHANGE_READ_ONLY, ovkc_change_value("ro", MODE_SET, 1));
  EXPECT_EQ(OVKC_CHANGE_READ_ONLY, ovkc_change_value("cnt", MODE_SET, 1));
  EXPECT_EQ(OVKC_CHANGE_NO_WINDOW, ovkc_change_value("unmapped", MODE_SET, 1));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      "Cannot change Read-Only value\n"
      "Cannot change Read-Only value\n"
      "vq_space_map failed to map component\n",
      err);
  EXPECT_EQ(0, traced("wr4 "));
  EXPECT_EQ(3, traced("detach"));  // every attached change detaches
  verbose = -1;

  unsetenv("LUDRA_SIM");
  EXPECT_EQ(OVKC_CHANGE_NO_CARD, ovkc_change_value("ro", MODE_SET, 1));
  ovkc_free();
  EXPECT_EQ(OVKC_CHANGE_NO_ITEM, ovkc_change_value("ro", MODE_SET, 1));
}

TEST_F(RuntimeTest, ChangeFindsItemsByExactNameOnly) {
  write_file(card_, "vq 0x1000 0x10 0\nvq 0x2000 0x10 0\n");
  init(module("M", "VQBUS", {"0x1000", "0x2000"}, rw_field("rx_ok", "1") + rw_field("rx_ok", "2")));
  EXPECT_EQ(OVKC_CHANGE_NO_ITEM, ovkc_change_value("rx_o", MODE_SET, 1));
  EXPECT_EQ(OVKC_CHANGE_NO_ITEM, ovkc_change_value("RX_OK", MODE_SET, 1));
  EXPECT_EQ(OVKC_OK, ovkc_change_value("rx_ok~2", MODE_SET, 1));
  EXPECT_EQ(OVKC_OK, ovkc_change_value("rx_ok", MODE_SET, 1));  // the first of equal names
  EXPECT_EQ("vq 0x1000 0x10 0x00000001\nvq 0x2000 0x10 0x00000001\n", read_file(card_));
}

}  // namespace
}  // namespace orvik_test
