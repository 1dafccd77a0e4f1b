// End-to-end tests of ovkshow: the built program against a design
// description and a simulated card in a temporary directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_util.h"

namespace {

using orvik_test::run;
using orvik_test::RunResult;
using orvik_test::TempDir;

// Two modules elements: the later one (the clock) comes first in the
// register list, so it is section 1; MAC is section 2, its second instance
// ("MAC 2") section 3.
const char kDesign[] = R"(<?xml version="1.0"?>
<device>
  <modules>
    <mac bus="VQBUS" header="MAC">
      <addresses><address ba="0x1000"/><address ba="0x2000"/></addresses>
      <items>
        <item><name>ctrl</name><display>Control</display><offset>0</offset>
              <access>RW</access><format>HEX</format></item>
        <item><name>speed</name><display>Speed</display><offset>4</offset>
              <bitmask>00F0</bitmask><access>RW</access><format>DEC</format></item>
        <item><name>link</name><display>Link</display><offset>8</offset>
              <bitmask>1</bitmask><access>RO</access><format>SWITCH</format></item>
        <item><name>led</name><display>Led</display><offset>8</offset>
              <bitmask>2</bitmask><access>RO</access><format>INDICATE</format></item>
        <item><name>bits</name><display>Bits</display><offset>C</offset>
              <access>RO</access><format>BIN</format></item>
        <item><name>rx_ok</name><display>Received</display><offset>10</offset>
              <access>RO</access><format>DEC</format></item>
        <item><name>wide</name><display>Wide</display><offset>14</offset><size>D</size>
              <access>RO</access><format>DEC</format></item>
        <item><name>hist</name><display>Load</display><offset>1C</offset>
              <access>RO</access><format>HIST</format><param>Histogram</param></item>
        <item><name>twice</name><display>Twice</display><access>CNT</access>
              <format>HEX</format><param>rx_ok,rx_ok,+</param></item>
        <item><name>ratio</name><display>Ratio</display><access>CNT</access>
              <param>rx_ok,0,/</param></item>
        <item><name>maxna</name><display>Max and N/A</display><access>CNT</access>
              <param>rx_ok,0,/,0,1,-</param></item>
      </items>
    </mac>
  </modules>
  <modules>
    <clk bus="VQBUS" header="Clock">
      <addresses><address ba="0x9000"/></addresses>
      <items>
        <item><name>sn_hwtime</name><display>Card time</display><offset>0</offset>
              <size>D</size><access>RO</access><format>TIMESTAMP</format></item>
      </items>
    </clk>
  </modules>
</device>
)";

const char kCard[] = R"(# test card
firmware 42
ident board-x rev1 sfp-a phy-a sfp-b phy-b
vq 0x9000 0x0 5
vq 0x9000 0x4 12
vq 0x1000 0x0 0x1234
vq 0x1000 0x4 0x0050
vq 0x1000 0x8 0x1
vq 0x1000 0xC 5
vq 0x1000 0x10 10
vq 0x1000 0x14 0xFFFFFFFF
vq 0x1000 0x18 0xFFFFFFFF
vq 0x1000 0x1C 1000
vq 0x2000 0x0 0xAB
)";

// A fixture with the description and a card file; runs ovkshow there.
class OvkshowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orvik_test::write_file(dir_.file("addresses.xml"), kDesign);
    orvik_test::write_file(card(), kCard);
  }

  std::string card() const { return dir_.file("card.sim"); }

  // trace: where the simulated card logs its operations (empty: nowhere).
  RunResult ovkshow(const std::vector<std::string> &args, bool with_card = true,
                    const std::string &trace = "") {
    orvik_test::RunOptions opts;
    opts.cwd = dir_.path();
    opts.env["LUDRA_SIM"] = with_card ? card() : "";
    opts.env["LUDRA_SIM_TRACE"] = trace;
    return run(orvik_test::program("ovkshow"), args, opts);
  }

  // The card word at base/offset as the card file holds it after a run.
  std::string card_line(const std::string &prefix) const {
    std::string text = orvik_test::read_file(card());
    size_t at = text.find(prefix);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
  }

  TempDir dir_;
};

std::string label(const std::string &display) {
  char buf[128];
  snprintf(buf, sizeof buf, "%50s:\t", display.c_str());
  return buf;
}

TEST_F(OvkshowTest, UsageTextIsExact) {
  const std::string expected =
      "Usage: ovkshow [-hilLv] [-s value] [-S <name> value] [-n <regex>]\n"
      "-f, --file                           Set configuration file\n"
      "-h, --help                           Show this text\n"
      "-i, --identify                       Print HW identification\n"
      "-l, --list                           Print list of sections only\n"
      "-L, --listname                       Print list of item names\n"
      "-n, --name                           Print items by name matching reges\n"
      "-s, --section\t\t             Section filter - select what section to print out\n"
      "-S, --set                            Set value of item\n"
      "-v, --verbose                        Verbose output\n"
      "    --peek vq:BASE:OFFSET            Read one local-bus word without a description\n"
      "    --peek mdio:BASE:DEV:REG         Read one MDIO register without a description\n"
      "    --poke ADDRESS value             Write one local-bus word or MDIO register (ADDRESS "
      "as --peek)\n"
      "-w, --watch SECONDS                  Repeat the report every SECONDS until interrupted\n"
      "    --json                           Print the report as one JSON document\n"
      "    --prometheus                     Print the values in the Prometheus text format\n";
  RunResult r = ovkshow({"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  // -h stops before anything is loaded, whatever follows.
  r = ovkshow({"-f", "missing.xml", "-h", "-s", "abc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  // --help is -h.
  r = ovkshow({"--help", "-s", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
}

TEST_F(OvkshowTest, ValueReportShowsEveryFormat) {
  RunResult r = ovkshow({"-s", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected = label("Control") + "0x1234\n" +    // HEX
                               label("Speed") + "5\n" +           // bit field 0x00F0
                               label("Link") + "ON\n" +           // SWITCH
                               label("Led") + "OFF\n" +           // INDICATE
                               label("Bits") + "0b101\n" +        // BIN
                               label("Received") + "10\n" +       // DEC
                               label("Wide") + "MAX\n" +          // 64 bits all ones
                               "Histogram:\n" +                   // heading of a HIST item
                               label("Load") + "1000\n" +         // HIST as a number
                               label("Twice") + "0x14\n" +        // equation, HEX
                               label("Ratio") + "N/A\n" +         // division by zero
                               label("Max and N/A") + "MAX\n";    // MAX wins over N/A
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
}

TEST_F(OvkshowTest, TimestampAndSectionSelection) {
  const std::string clock = label("Card time") + "12s000000005ns\n";
  EXPECT_EQ(ovkshow({"-s", "1"}).out, clock);
  // 0 and no -s both report every section, the clock first.
  RunResult all = ovkshow({});
  RunResult zero = ovkshow({"-s", "0"});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out, zero.out);
  EXPECT_EQ(all.out.rfind(clock, 0), 0u);
  EXPECT_NE(all.out.find(label("Control") + "0xAB\n"), std::string::npos);  // MAC 2
  // Beyond the last section: nothing, status 0.
  RunResult beyond = ovkshow({"-s", "4"});
  EXPECT_EQ(beyond.status, 0);
  EXPECT_EQ(beyond.out, "");
  EXPECT_EQ(ovkshow({"-s", "99999999999999999999"}).out, "");
}

TEST_F(OvkshowTest, SectionArgumentMustBeANumber) {
  for (const char *bad : {"abc", "-1", "3x", ""}) {
    // The missing description shows that the run ends before loading.
    RunResult r = ovkshow({"-f", "missing.xml", "-s", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err.rfind("ovkshow: parsing section argument: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(OvkshowTest, NameExpressionOverridesSection) {
  RunResult r = ovkshow({"-s", "1", "-n", "^RX_OK"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, label("Received") + "10\n" + label("Received") + "0\n");
}

TEST_F(OvkshowTest, BadExpressionFailsQuietlyUnlessVerbose) {
  RunResult r = ovkshow({"-n", "a\\{1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ovkshow: Error - reading values from hardware\n");
  r = ovkshow({"-v", "-n", "a\\{1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Could not compile regular expression\n"), std::string::npos);
  EXPECT_NE(r.err.find("loaded configuration\n"), std::string::npos);
}

TEST_F(OvkshowTest, ReportWithoutCardFails) {
  RunResult r = ovkshow({}, /*with_card=*/false);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "ovkshow: Error - reading values from hardware\n");
}

TEST_F(OvkshowTest, MissingOrEmptyDescription) {
  RunResult r = ovkshow({"-f", "nowhere.xml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ovkshow: Error - could not open configuration file\n");
  orvik_test::write_file(dir_.file("empty.xml"), "<device/>\n");
  r = ovkshow({"-f", "empty.xml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ovkshow: Error - initialisation of ovkc\n");
}

TEST_F(OvkshowTest, SetAndToggleWriteTheCard) {
  // Toggle: the speed field 0x00F0 of 0x0050 inverted gives 0x00A0.
  RunResult r = ovkshow({"-S", "speed"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ovkshow({"-n", "^speed$"}).out, label("Speed") + "10\n");

  // Set with a hexadecimal operand.
  EXPECT_EQ(ovkshow({"-S", "speed", "0x3"}).status, 0);
  EXPECT_EQ(ovkshow({"-n", "^speed$", "-s", "2"}).out, label("Speed") + "3\n");

  // A negative operand after -- is written as its 32-bit pattern.
  EXPECT_EQ(ovkshow({"-S", "ctrl~2", "--", "-1"}).status, 0);
  EXPECT_EQ(ovkshow({"-n", "^ctrl~2$"}).out, label("Control") + "0xFFFFFFFF\n");

  EXPECT_EQ(ovkshow({"-S", "ctrl", "0x10"}).status, 0);
  EXPECT_EQ(ovkshow({"-n", "^ctrl$"}).out, label("Control") + "0x10\n");
}

TEST_F(OvkshowTest, SetRefusesANonNumberBeforeLoading) {
  std::string before = orvik_test::read_file(card());
  for (const char *bad : {"abc", "0x1g", "", "12 "}) {
    RunResult r = ovkshow({"-f", "missing.xml", "-S", "ctrl", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "ovkshow: Error - value is not a number\n") << bad;
  }
  EXPECT_EQ(orvik_test::read_file(card()), before);
}

TEST_F(OvkshowTest, SetFailuresEndWithStatusTwo) {
  std::string before = orvik_test::read_file(card());
  for (const char *name : {"nosuchitem", "ctr", "link"}) {  // unknown, prefix, read-only
    RunResult r = ovkshow({"-S", name, "1"});
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_EQ(r.err, "ovkshow: Error - change value was not successful\n") << name;
  }
  EXPECT_EQ(orvik_test::read_file(card()), before);
}

TEST_F(OvkshowTest, ListsWorkWithoutACard) {
  const std::string sections = "1 Clock\n2 MAC\n3 MAC 2\n";
  RunResult r = ovkshow({"-l"}, /*with_card=*/false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, sections +
                       "Identification\nFW version: 0\n"
                       "Board name: N/A - N/A\nIF0: N/A (N/A)\nIF1: N/A (N/A)\n");
  r = ovkshow({"-L"}, /*with_card=*/false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(OvkshowTest, ListsWithACard) {
  RunResult r = ovkshow({"-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "1 Clock\n2 MAC\n3 MAC 2\nIdentification\nFW version: 42\n"
            "Board name: board-x - rev1\nIF0: sfp-a (phy-a)\nIF1: sfp-b (phy-b)\n");
  r = ovkshow({"-i"});
  EXPECT_EQ(r.out,
            "Board identification\nIdentification\nFW version: 42\n"
            "Board name: board-x - rev1\nIF0: sfp-a (phy-a)\nIF1: sfp-b (phy-b)\n");
  // --listname, as the usage spells it, is a prefix of --listnames.
  r = ovkshow({"--listname"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("sn_hwtime\tCard time\nctrl\tControl\nspeed\tSpeed\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("ctrl~2\tControl\n"), std::string::npos);
}

TEST_F(OvkshowTest, UnknownOptionEndsWithStatusOne) {
  RunResult r = ovkshow({"-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("invalid option"), std::string::npos);
  r = ovkshow({"-f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("requires an argument"), std::string::npos);
}

// One bus access per run, without a design description: the card's trace
// holds exactly attach, map, the access, unmap and detach.
TEST_F(OvkshowTest, PeekAndPokeMakeOneBusAccess) {
  struct Case {
    std::vector<std::string> args;
    std::string out, access;
  } cases[] = {
      {{"--peek", "vq:0x1000:0x10"}, "0x0000000A\n", "map 0x1000 0x0\nrd4 0x1000 0x10 0xa\n"},
      {{"--poke", "vq:4096:20", "0xCAFE0001"}, "", "map 0x1000 0x0\nwr4 0x1000 0x14 0xcafe0001\n"},
      {{"--peek", "vq:0x1000:0x14"}, "0xCAFE0001\n", "map 0x1000 0x0\nrd4 0x1000 0x14 0xcafe0001\n"},
      {{"--poke", "MDIO:0x4000:1:2", "0xFFFF"}, "", "map 0x4000 0x10\nmdwr 0x4000 0x1 0x2 0xffff\n"},
      {{"--peek", "mdio:0x4000:1:2"}, "0xFFFF\n", "map 0x4000 0x10\nmdrd 0x4000 0x1 0x2 0xffff\n"},
  };
  std::remove(dir_.file("addresses.xml").c_str());
  for (const Case &c : cases) {
    RunResult r = ovkshow(c.args, true, dir_.file("trace"));
    EXPECT_EQ(r.status, 0) << c.args[1] << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[1];
    EXPECT_EQ(orvik_test::read_file(dir_.file("trace")),
              "attach\n" + c.access + "unmap\ndetach\n")
        << c.args[1];
    std::remove(dir_.file("trace").c_str());
  }
}

// Bad input ends with status 1 before the card is touched (no trace at
// all); a card that cannot be attached or mapped gives status 2.
TEST_F(OvkshowTest, PeekAndPokeRefuseBadInput) {
  orvik_test::write_file(card(), std::string(kCard) + "fail-map 0x7000\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--peek", "pci:0x1000:0"}, 1, "unknown bus `pci'"},
      {{"--peek", "vq:0x1000"}, 1, "missing field"},
      {{"--peek", "mdio:0x4000::2"}, 1, "missing field"},
      {{"--peek", "vq:0x1000:0x10:1"}, 1, "too many fields"},
      {{"--peek", "vq:0x1000:sixteen"}, 1, "offset `sixteen' in `vq:0x1000:sixteen' is not a number"},
      {{"--peek", "vq:0x1000:16k"}, 1, "is not a number"},
      {{"--peek", "vq:0x100000000:0"}, 1, "base `0x100000000' in"},
      {{"--peek", "vq:0x1000:0x12"}, 1, "is not a multiple of 4"},
      {{"--peek", "mdio:0x4000:32:2"}, 1, "device `32' in `mdio:0x4000:32:2' is above 31"},
      {{"--poke", "mdio:0x4000:1:2", "0x10000"}, 1, "above 0xFFFF"},
      {{"--poke", "vq:0x1000:0", "1x"}, 1, "value `1x' is not a number"},
      {{"--poke", "vq:0x1000:0"}, 1, "--poke needs a value"},
      {{"-S", "ctrl", "--poke", "vq:0x1000:0", "1"}, 1, "cannot be combined with -S"},
      {{"--peek", "vq:0x7000:0"}, 2, "--peek: cannot map the window at 0x7000"},
  };
  for (const Case &c : cases) {
    RunResult r = ovkshow(c.args, true, dir_.file("trace"));
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.out, "") << c.args[1];
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[1] << ": " << r.err;
    EXPECT_EQ(orvik_test::file_exists(dir_.file("trace")), c.status == 2) << c.args[1];
    std::remove(dir_.file("trace").c_str());
  }
  RunResult r = ovkshow({"--peek", "vq:0x1000:0"}, false);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot attach the card"), std::string::npos) << r.err;
}

}  // namespace
