// End-to-end tests of kvoplay: the built program replays into the simulated
// streaming device, whose log shows what each transmit header carried.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "test_util.h"

using namespace orvik_test;

namespace {

const char kUsage[] =
    "Usage: kvoplay [-hNOv] [-d kvo_device] [-f file] [-i <number>s<number>ns] [-I interface] "
    "[-R rx_mask] [-t <number>s<number>ns] [-T tx_mask] [-B <number><gGmMkK>]\n"
    "-B, --bw <number><KMG>\t\t     Set speed of transfer in Kilo/Mega/Giga-bits (case "
    "insensitive)\n"
    "-d, --device kvo_device              Use device file, default /dev/kvodataII0\n"
    "-f, --file PCAP file                 Specify input file\n"
    "-F, --flag <number>                  Specify flag information in KVO header\n"
    "-g, --get-hw-ts                      Get current timestamp from ludra card\n"
    "-h, --help                           Show this text\n"
    "-m, --move <number>s<number>ns\t     Move packets in time\n"
    "-q, --quiet                          Run in quiet mode\n"
    "-i, --interval <number>s<number>ns   Set interval between packets\n"
    "-I, --interface number               Interface number - where to send data (default 0)\n"
    "-N, --dontsend                       Just read input file\n"
    "-r, --repeat <number>                Repeat frame (0-255)x\n"
    "-R, --rx value                       RX mask for activating of channels (in decimal num.)\n"
    "-T, --tx value                       TX mask for activating of channels (in decimal num.)\n"
    "-t, --timestamp <number>s<number>ns  Set first timestamp\n"
    "-v, --verbose                        Verbose output\n"
    "-x, --multiplier <number>            Divide the capture's gaps by number (2.0: twice as fast)\n"
    "    --loop <count>                   Send the whole capture count times\n"
    "    --stats                          Print frames, bytes, times and rate of the send\n";

class KvoplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pcap = pcap_global_header();
    for (int i = 0; i < 10; ++i) pcap += pcap_record(100 + i, 0, frame_bytes(60 + i, i));
    write_file(capture(), pcap);
  }
  std::string capture() const { return dir_.file("in.pcap"); }
  std::string log() const { return dir_.file("sim.log"); }
  RunOptions device(std::map<std::string, std::string> extra = {}) const {
    RunOptions o;
    o.env = {{"KVO2_SIM_OUT", dir_.file("out.pcap")}, {"KVO2_SIM_LOG", log()},
             {"TESSEL_VERBOSE", ""}, {"LUDRA_SIM", ""}};
    for (const auto &[k, v] : extra) o.env[k] = v;
    return o;
  }
  RunResult kvoplay(std::vector<std::string> args, const RunOptions &opts) const {
    return run(program("kvoplay"), args, opts);
  }
  std::vector<std::string> log_lines() const {
    std::vector<std::string> out;
    std::string text = read_file(log());
    for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
      out.push_back(text.substr(pos, nl - pos));
    return out;
  }

  TempDir dir_;
};

TEST_F(KvoplayTest, HelpPrintsUsageAndStops) {
  for (const char *help : {"-h", "--help"}) {
    RunResult r = kvoplay({help, "-f", capture()}, device());
    EXPECT_EQ(r.status, 1) << help;
    EXPECT_EQ(r.out, kUsage) << help;
    EXPECT_FALSE(file_exists(dir_.file("out.pcap"))) << help;
  }
}

TEST_F(KvoplayTest, BadCommandLinesStopBeforeSending) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_part;
  } cases[] = {
      {{}, 1, "No input file specified\n"},
      {{"-Y", "-f", "in.pcap"}, 1, "invalid option"},
      {{"-x", "0", "-f", "in.pcap"}, 1, "invalid multiplier `0'"},
      {{"-x", "2x", "-f", "in.pcap"}, 1, "invalid multiplier `2x'"},
      {{"-x", "inf", "-f", "in.pcap"}, 1, "invalid multiplier `inf'"},
      {{"-x", "2", "-i", "0s10ns", "-f", "in.pcap"}, 1, "only to capture-gap pacing"},
      {{"-B", "1G", "-x", "2", "-f", "in.pcap"}, 1, "only to capture-gap pacing"},
      {{"--loop", "0", "-f", "in.pcap"}, 1, "invalid count `0'"},
      {{"--loop", "4294967296", "-f", "in.pcap"}, 1, "invalid count `4294967296'"},
      {{"--loop", "3 ", "-f", "in.pcap"}, 1, "invalid count `3 '"},
      {{"-f"}, 1, "requires an argument"},
      {{"-r", "many", "-f", "in.pcap"}, 1, "invalid number `many'"},
      {{"-i", "1000", "-f", "in.pcap"}, 1, "invalid time `1000'"},
      {{"-f", "missing.pcap"}, 2,
       "kvoplay: Error - cannot send\nkvoplay: missing.pcap: No such file or directory\n"},
      {{"-f", "in.pcap", "-d", "/dev/kvo9"}, 2,
       "kvoplay: Error - cannot send\nkvoplay: cannot open the streaming device `/dev/kvo9'\n"},
  };
  RunOptions opts = device({{"KVO2_SIM_OUT", ""}});  // no device to open
  opts.cwd = dir_.path();
  for (const Case &c : cases) {
    RunResult r = kvoplay(c.args, opts);
    std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(r.status, c.status) << what;
    EXPECT_NE(r.err.find(c.err_part), std::string::npos) << what << ": " << r.err;
  }
  EXPECT_FALSE(file_exists(dir_.file("out.pcap")));
}

TEST_F(KvoplayTest, BandwidthArgumentUnits) {
  struct Case {
    const char *arg, *speed;
  } cases[] = {{"2.5G", "2500000000.000000"}, {"100m", "100000000.000000"},
               {"64k", "64000.000000"},       {"300x", "300.000000"},
               {"300", "300.000000"}};
  for (const Case &c : cases) {
    RunResult r = kvoplay({"-N", "-B", c.arg, "-f", capture()}, device());
    EXPECT_EQ(r.status, 0) << c.arg << r.err;
    EXPECT_NE(r.out.find(std::string("Speed: `") + c.arg + "'\nSpeed was set to: " + c.speed +
                         "\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(KvoplayTest, ReplaySetsInterfaceTimesAndRepeatInTheHeaders) {
  RunResult r = kvoplay({"-I", "70000", "-t", "010s0ns", "-i", "0s1000ns", "-r", "3", "-F",
                         "0x102", "-f", capture()},
                        device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "First timestamp: 8s 0ns\nFile name: `" + capture() + "'\n" +
                       "Amount of sent packets: 40\n");
  std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "iface=4464 flag=2 repeat=3 time=8s000001000ns len=60");
  EXPECT_EQ(lines[9], "iface=4464 flag=2 repeat=3 time=8s000010000ns len=69");
}

TEST_F(KvoplayTest, DryRunCountsWithoutOpeningTheDevice) {
  RunResult r = kvoplay({"-N", "-v", "-r", "1", "-f", capture()}, device());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Amount of sent packets: 20\n"), std::string::npos);
  EXPECT_NE(r.err.find("   9 Size:    69B Timestamp: 109s000000000ns\n"), std::string::npos)
      << r.err;
  EXPECT_FALSE(file_exists(dir_.file("out.pcap")));
}

TEST_F(KvoplayTest, QuietSilencesTheLibraryWhateverVerboseSays) {
  RunResult loud = kvoplay({"-V", "-N", "-f", capture()}, device());
  EXPECT_NE(loud.err.find("Length of portion: 60"), std::string::npos) << loud.err;
  RunResult quiet = kvoplay({"-q", "-V", "-N", "-f", capture()}, device());
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(KvoplayTest, FramesTheDeviceRefusesFailTheRun) {
  RunResult r = kvoplay({"-r", "1", "-f", capture()}, device({{"KVO2_SIM_FAIL_EVERY", "4"}}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("Amount of sent packets: 16\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "4 packets could not be sent\n");
  EXPECT_EQ(log_lines().size(), 8u);
}

TEST_F(KvoplayTest, CardClockOverridesTheGivenStart) {
  write_file(dir_.file("addresses.xml"),
             "<device><modules><clock bus=\"VQBUS\" header=\"Clock\">"
             "<addresses><address ba=\"0x2000\"/></addresses><items><item>"
             "<name>sn_hwtime</name><display>Card time</display><offset>10</offset>"
             "<size>D</size><access>RO</access><format>TIMESTAMP</format>"
             "<bitmask>0</bitmask></item></items></clock></modules></device>\n");
  write_file(dir_.file("card"), "clock 0x2000 0x10\n");
  RunOptions opts = device({{"LUDRA_SIM", dir_.file("card")}});
  opts.cwd = dir_.path();
  RunResult r = kvoplay({"-t", "5s100ns", "-g", "-i", "1s0ns", "-f", "in.pcap"}, opts);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("hw timestamp: "), std::string::npos) << r.out;
  std::vector<std::string> lines = log_lines();
  ASSERT_FALSE(lines.empty());
  size_t at = lines[0].find("time=") + 5;
  long sec = std::stol(lines[0].substr(at));
  EXPECT_NEAR(static_cast<double>(sec), static_cast<double>(time(nullptr)) + 1, 3.0) << lines[0];
}

TEST_F(KvoplayTest, LongHelpStopsLikeShortHelp) {
  RunResult r = kvoplay({"--help", "--dontsend", "--file", capture()}, device());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, kUsage);
}

// Two passes at twice the capture's pace: the second pass starts when the
// last 69-byte frame has left the line (53 ns), and the statistics cover
// both passes.  No progress line goes into a file.
TEST_F(KvoplayTest, LoopMultiplierAndStats) {
  RunResult r = kvoplay({"-x", "2", "--loop", "2", "--stats", "-r", "1", "-t", "0s0ns", "-f",
                         capture()},
                        device());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[1], "iface=0 flag=0 repeat=1 time=0s500000000ns len=61");
  EXPECT_EQ(lines[9], "iface=0 flag=0 repeat=1 time=4s500000000ns len=69");
  EXPECT_EQ(lines[10], "iface=0 flag=0 repeat=1 time=4s500000053ns len=60");
  EXPECT_EQ(lines[19], "iface=0 flag=0 repeat=1 time=9s000000053ns len=69");
  EXPECT_NE(r.out.find("Amount of sent packets: 40\n"
                       "Frames handed over: 20\n"
                       "Bytes handed over: 1290\n"
                       "First transmit time: 0s000000000ns\n"
                       "Last transmit time: 9s000000053ns\n"
                       "Duration: 9s000000053ns\n"
                       "Average rate: 1147 bit/s, 2.2 frames/s\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
