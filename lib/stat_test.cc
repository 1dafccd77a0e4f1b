// Register runtime: initialisation, identification and the read walk,
// checked against the simulated card and its trace of bus accesses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "stat_test_fixture.h"

namespace orvik_test {
namespace {

const char *kRO = "<access>RO</access>";
const char *kRW = "<access>RW</access>";

TEST_F(RuntimeTest, BitFieldsOfOneRegisterShareOneReadPerInstance) {
  write_file(card_, "vq 0x1000 0x10 0x1234\nvq 0x2000 0x10 0xabcd\n");
  init(module("MAC", "VQBUS", {"0x1000", "0x2000"},
              item("lo", "<offset>10</offset><bitmask>00FF</bitmask>" + std::string(kRO)) +
                  item("hi", "<offset>10</offset><bitmask>FF00</bitmask>" + std::string(kRO))));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ((Values{{"lo", 0x34}, {"hi", 0x12}, {"lo~2", 0xcd}, {"hi~2", 0xab}}), values());
  EXPECT_EQ(2, traced("rd4 "));
  EXPECT_EQ(2, traced("map "));  // one window per module instance
  EXPECT_EQ(2, traced("unmap"));
}

TEST_F(RuntimeTest, InstancesRepeatedAtOneOffsetAreReadEachTime) {
  write_file(card_, "vq 0x1000 0x4 7\n");
  init(module("FIFO", "VQBUS", {"0x1000"},
              item("head", "<offset>0</offset>" + std::string(kRO)) +
                  item("pop", "<offset>4</offset><repeat incoffset=\"0\">3</repeat>" +
                                  std::string(kRO))));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ((Values{{"head", 0}, {"pop-1", 7}, {"pop-2", 7}, {"pop-3", 7}}), values());
  EXPECT_EQ(3, traced("rd4 0x1000 0x4 "));
}

TEST_F(RuntimeTest, WideRegistersAssembleBothWordsPerBus) {
  write_file(card_,
             "vq 0x1000 0x20 0x11111111\nvq 0x1000 0x24 0x22222222\n"
             "vq 0x1000 0x30 0x11111111\nvq 0x1000 0x34 0x22222222\n"
             "mdio 0x3000 2 0x4 0x1111\nmdio 0x3000 2 0x5 0x2222\n"
             "mdio 0x3000 2 0x8 0x1111\nmdio 0x3000 2 0x9 0x2222\n");
  init(module("LB", "VQBUS", {"0x1000"},
              item("d", "<offset>20</offset><size>D</size>" + std::string(kRO)) +
                  item("d_mask", "<offset>20</offset><size>D</size><bitmask>FF00</bitmask>" +
                                     std::string(kRO)) +
                  item("s", "<offset>30</offset><size>S</size>" + std::string(kRO))) +
       module("PHY", "MDIO", {"0x3000"},
              item("mw", "<offset>4</offset><mdiodev>2</mdiodev>" + std::string(kRO)) +
                  item("md", "<offset>4</offset><mdiodev>2</mdiodev><size>D</size>" +
                                 std::string(kRO)) +
                  item("ms", "<offset>8</offset><mdiodev>2</mdiodev><size>S</size>" +
                                 std::string(kRO))));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  // md shares the register key of mw, so it decodes mw's kept word.
  EXPECT_EQ((Values{{"d", 0x2222222211111111},
                    {"d_mask", 0x11},
                    {"s", 0x1111111122222222},
                    {"mw", 0x1111},
                    {"md", 0x1111},
                    {"ms", 0x11112222}}),
            values());
  EXPECT_EQ(1, traced("map 0x3000 0x10"));
}

TEST_F(RuntimeTest, MdioDoubleWordComesFromTwoRegisters) {
  write_file(card_, "mdio 0x3000 2 0x4 0x1111\nmdio 0x3000 2 0x5 0x2222\n");
  init(module("PHY", "MDIO", {"0x3000"},
              item("md", "<offset>4</offset><mdiodev>2</mdiodev><size>D</size>" +
                             std::string(kRO))));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ((Values{{"md", 0x22221111}}), values());
  EXPECT_EQ(2, traced("mdrd "));
}

TEST_F(RuntimeTest, ConfigItemsAreWrittenWhileReading) {
  write_file(card_, "vq 0x1000 0x8 0xFF00   # control\n");
  init(module("CTL", "VQBUS", {"0x1000"},
              item("mode", "<offset>8</offset><bitmask>0F</bitmask><access>CFG</access>"
                           "<param value=\"5\">x</param>") +
                  item("speed", "<offset>8</offset><bitmask>F0</bitmask><access>CFG</access>"
                                "<param value=\"3\">y</param>")));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ(2, traced("wr4 0x1000 0x8 "));
  EXPECT_EQ("vq 0x1000 0x8 0x0000ff35   # control\n", read_file(card_));
  EXPECT_EQ((Values{{"mode", 0}, {"speed", 0}}), values());  // nothing was read
}

TEST_F(RuntimeTest, SectionsCountRunsOfEqualModuleNames) {
  init(module("A", "VQBUS", {"0x1000"}, item("a1", kRO) + item("a2", kRO)) +
       module("B", "VQBUS", {"0x2000"}, item("b1", kRO)) +
       module("A", "VQBUS", {"0x3000"}, item("a3", kRO)));

  name_list_t *names = ovkc_get_namelist();
  std::vector<std::string> got;
  for (const name_list_t *n = names; n; n = n->next) got.push_back(n->name);
  EXPECT_EQ((std::vector<std::string>{"A", "B", "A"}), got);
  ovkc_free_namelist(&names);
  EXPECT_EQ(nullptr, names);
  ovkc_free_namelist(&names);

  struct Case {
    int section;
    Values want;
    std::vector<int32_t> sections;  // of every entry, as the library tells them
  } cases[] = {
      {0, {{"a1", 0}, {"a2", 0}, {"b1", 0}, {"a3", 0}}, {1, 1, 2, 3}},
      {-3, {{"a1", 0}, {"a2", 0}, {"b1", 0}, {"a3", 0}}, {1, 1, 2, 3}},
      {1, {{"a1", 0}, {"a2", 0}}, {1, 1}},
      {2, {{"b1", 0}}, {2}},
      {3, {{"a3", 0}}, {3}},
      {4, {}, {}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(OVKC_OK, ovkc_read_values_by_module(c.section)) << c.section;
    EXPECT_EQ(c.want, values()) << c.section;
    const int32_t *numbers = ovkc_get_datalist_sections();
    EXPECT_EQ(c.sections.empty(), numbers == nullptr) << c.section;
    if (numbers != nullptr) {
      EXPECT_EQ(c.sections, std::vector<int32_t>(numbers, numbers + c.sections.size()))
          << c.section;
    }
  }
  ASSERT_EQ(OVKC_OK, ovkc_read_values_by_name("3$"));
  ASSERT_NE(nullptr, ovkc_get_datalist_sections());
  EXPECT_EQ(3, ovkc_get_datalist_sections()[0]);
  ovkc_free_datalist();
  EXPECT_EQ(nullptr, ovkc_get_datalist_sections());
}

TEST_F(RuntimeTest, NameExpressionIgnoresCaseAndSearchesInside) {
  init(module("M", "VQBUS", {"0x1000"},
              item("link_status", kRO) + item("rx_ok", kRO) + item("statusword", kRO)));
  EXPECT_EQ(OVKC_OK, ovkc_read_values_by_name("STATUS"));
  EXPECT_EQ((Values{{"link_status", 0}, {"statusword", 0}}), values());
  EXPECT_EQ(OVKC_OK, ovkc_read_values_by_name("^rx_.*k$"));
  EXPECT_EQ((Values{{"rx_ok", 0}}), values());
}

TEST_F(RuntimeTest, BadExpressionKeepsThePreviousList) {
  init(module("M", "VQBUS", {"0x1000"}, item("rx_ok", kRO)));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  value_list_t *before = ovkc_get_datalist();
  verbose = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_READ_FAILED, ovkc_read_values_by_name("rx\\("));
  EXPECT_EQ("Could not compile regular expression\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(before, ovkc_get_datalist());
  EXPECT_EQ((Values{{"rx_ok", 0}}), values());
}

TEST_F(RuntimeTest, MapFailureStopsTheWalkKeepingWhatWasRead) {
  write_file(card_, "vq 0x1000 0 9\nfail-map 0x2000\n");
  init(module("MAC", "VQBUS", {"0x1000", "0x2000", "0x3000"}, item("st", kRO)));
  verbose = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_READ_FAILED, ovkc_read_values());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("vq_space_map failed to map component\n"));
  EXPECT_EQ((Values{{"st", 9}}), values());
  EXPECT_EQ(0, traced("map 0x3000"));
  EXPECT_EQ(1, traced("detach"));
}

// Whatever way an operation ends, the card it attached is detached again
// (the simulated card's lock would otherwise block the next process).
TEST_F(RuntimeTest, EveryOperationDetachesWhatItAttached) {
  write_file(card_, "vq 0x1000 0 9\nfail-map 0x2000\n");
  init(module("MAC", "VQBUS", {"0x1000", "0x2000"}, item("st", kRW)));
  struct Step {
    const char *what;
    int want;
    int (*run)();
  } steps[] = {
      {"read stopped by a failed map", OVKC_READ_FAILED, [] { return ovkc_read_values(); }},
      {"change", OVKC_OK, [] { return ovkc_change_value("st", MODE_SET, 1); }},
      {"change of a missing item", OVKC_CHANGE_NO_ITEM,
       [] { return ovkc_change_value("nope", MODE_SET, 1); }},
      {"change in a window that fails", OVKC_CHANGE_NO_WINDOW,
       [] { return ovkc_change_value("st~2", MODE_SET, 1); }},
  };
  for (const Step &s : steps) {
    EXPECT_EQ(s.want, s.run()) << s.what;
    EXPECT_EQ(traced("attach"), traced("detach")) << s.what;
  }
}

TEST_F(RuntimeTest, ReadWithoutCardLeavesAnEmptyList) {
  init(module("M", "VQBUS", {"0x1000"}, item("rx_ok", kRO)));
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  ASSERT_NE(nullptr, ovkc_get_datalist());
  unsetenv("LUDRA_SIM");
  EXPECT_EQ(OVKC_READ_FAILED, ovkc_read_values());
  EXPECT_EQ(nullptr, ovkc_get_datalist());
}

TEST_F(RuntimeTest, IdentificationComesFromTheCard) {
  write_file(card_, "firmware 0x00010203\nident brd sub c0 p0 c1 p1\n");
  init(module("M", "VQBUS", {"0x1000"}, item("x", kRO)));
  EXPECT_EQ(0x00010203u, ovkc_fw_version);
  EXPECT_STREQ("brd", ovkc_board);
  EXPECT_STREQ("sub", ovkc_board_subtype);
  EXPECT_STREQ("c0", ovkc_if0_card);
  EXPECT_STREQ("p0", ovkc_if0_chip);
  EXPECT_STREQ("c1", ovkc_if1_card);
  EXPECT_STREQ("p1", ovkc_if1_chip);
  ovkc_free();
  EXPECT_EQ(nullptr, ovkc_board);
  EXPECT_EQ(nullptr, ovkc_get_namelist());
  ovkc_free();  // a second release does nothing
  ovkc_free_datalist();
}

TEST_F(RuntimeTest, FailedFirstAttachLeavesIdentificationUnset) {
  unsetenv("LUDRA_SIM");
  verbose = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_OK, ovkc_init(design(module("M", "VQBUS", {"0x1000"}, item("x", kRO))).c_str()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("vq_attach failed.\n")) << err;
  EXPECT_EQ(nullptr, ovkc_board);
  EXPECT_EQ(nullptr, ovkc_if1_chip);
}

TEST_F(RuntimeTest, WithoutHardwareEveryValueIsZero) {
  write_file(card_, "vq 0x1000 0 5\nfail-map 0x1000\n");
  ASSERT_EQ(OVKC_OK, ovkc_init_nohw(design(module("PHY", "MDIO", {"0x1000"},
                                            item("m", "<mdiodev>3</mdiodev>" + std::string(kRO))) +
                                     module("LB", "VQBUS", {"0x1000"},
                                            item("w", "<offset>4</offset>" + std::string(kRO)) +
                                                item("c", "<access>CFG</access>"
                                                          "<param value=\"1\">x</param>")))
                                  .c_str()));
  EXPECT_EQ(0u, ovkc_fw_version);
  for (char *t : {ovkc_board, ovkc_board_subtype, ovkc_if0_card, ovkc_if0_chip, ovkc_if1_card,
                  ovkc_if1_chip})
    EXPECT_STREQ("NO_CARD", t);
  verbose = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ(
      "read val: bus 1, baddr 1000, offset 0, mdiodev 3\n"
      "read val: bus 0, baddr 1000, offset 4, mdiodev 3\n",
      testing::internal::GetCapturedStderr());
  EXPECT_EQ((Values{{"m", 0}, {"w", 0}, {"c", 0}}), values());
  EXPECT_EQ("", read_file(trace_));  // the card was never touched
  EXPECT_EQ(OVKC_OK, ovkc_change_value("no such item", MODE_SET, 1));
}

TEST_F(RuntimeTest, LocalBusReadShowsNoMdioDeviceBeforeAnyMdioItem) {
  init(module("LB", "VQBUS", {"0x1000"}, item("w", "<offset>8</offset>" + std::string(kRO))));
  verbose = 0;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ("read val: bus 0, baddr 1000, offset 8, mdiodev -1\n",
            testing::internal::GetCapturedStderr());
}

TEST_F(RuntimeTest, InitReportsMissingAndEmptyFiles) {
  verbose = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OVKC_INIT_NOT_FOUND, ovkc_init(dir_.file("nothing-here.xml").c_str()));
  EXPECT_EQ("Error - cannot find configuration file\n", testing::internal::GetCapturedStderr());
  verbose = -1;
  std::string empty = dir_.file("empty.xml");
  write_file(empty, "<device></device>\n");
  EXPECT_EQ(OVKC_INIT_EMPTY, ovkc_init(empty.c_str()));
  EXPECT_EQ(nullptr, ovkc_get_namelist());
  EXPECT_EQ(OVKC_OK, ovkc_read_values());
  EXPECT_EQ(nullptr, ovkc_get_datalist());
}

TEST(ConvBytes2Time, ScalesByEightTenthsTruncating) {
  struct {
    uint64_t in, out;
  } cases[] = {{0, 0}, {1, 0}, {2, 1}, {10, 8}, {1500, 1200}};
  for (auto c : cases) EXPECT_EQ(c.out, ovkc_conv_bytes2time(c.in)) << c.in;
}

}  // namespace
}  // namespace orvik_test
