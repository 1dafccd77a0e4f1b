// framekit and kvoplay on captures written and read by tools no one here
// wrote: editcap converts, tcpdump filters, capinfos and tshark read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using namespace orvik_test;

bool have(const char *tool) {
  return run("/bin/sh", {"-c", std::string("command -v ") + tool}).status == 0;
}

class CaptureToolsTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char *tool : {"editcap", "capinfos", "tshark", "tcpdump"})
      if (!have(tool)) GTEST_SKIP() << tool << " is not installed (wireshark-common, tshark, tcpdump)";
    // 300 frames of 60 to 359 bytes; bytes 0-1 and 12-13 vary by frame.
    std::string pcap = pcap_global_header();
    for (int i = 0; i < 300; ++i) {
      std::string data = frame_bytes(60 + i, i);
      data[12] = static_cast<char>(i % 3 == 0 ? 0x08 : 0x86), data[13] = static_cast<char>(i % 3 == 0 ? 0x00 : 0xdd);
      pcap += pcap_record(1700000000 + i / 7, (i * 12347) % 1000000, data, 60 + i + i % 5);
    }
    write_file(path("in.pcap"), pcap);
  }

  std::string path(const std::string &name) const { return dir_.file(name); }
  RunResult sh(const std::string &command, const RunOptions &opts = {}) const {
    return run("/bin/sh", {"-c", command}, opts);
  }
  RunResult framekit(const std::vector<std::string> &args) const {
    return run(program("framekit"), args, RunOptions{{}, dir_.path(), ""});
  }
  // Every frame as tshark sees it: time, lengths and bytes.
  std::string frames_of(const std::string &file) const {
    RunResult r = sh("tshark -r '" + file +
                     "' -T fields -e frame.time_epoch -e frame.len -e frame.cap_len && tshark -x -r '" +
                     file + "'");
    EXPECT_EQ(r.status, 0) << file << ": " << r.err;
    return r.out;
  }
  // The frame list framekit prints for a capture.
  std::string listed(const std::string &file) const {
    RunResult r = framekit({"-f", file, "-l"});
    EXPECT_EQ(r.status, 0) << file << ": " << r.err;
    return r.out.substr(r.out.find("-----"));
  }
  std::string capinfo(const std::string &file, const char *flags) const {
    RunResult r = sh(std::string("capinfos -T -r ") + flags + " '" + file + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(r.out.find('\t'));  // without the file name
  }

  TempDir dir_;
};

// editcap's conversions load to the same frames and save them so.
TEST_F(CaptureToolsTest, ConvertedCapturesLoadAndSaveTheSameFrames) {
  ASSERT_EQ(sh("editcap -F nsecpcap '" + path("in.pcap") + "' '" + path("ns.pcap") + "'").status, 0);
  std::string want = frames_of(path("ns.pcap"));
  for (const char *format : {"pcapng", "nsecpcap", "pcap"}) {
    std::string in = path(std::string("in.") + format), out = path(std::string("out.") + format);
    ASSERT_EQ(sh("editcap -F " + std::string(format) + " '" + path("in.pcap") + "' '" + in + "'").status, 0);
    RunResult r = framekit({"-f", in, "-s", out});
    ASSERT_EQ(r.status, 0) << format << ": " << r.err;
    EXPECT_TRUE(listed(in) == listed(path("in.pcap"))) << format;
    // Saved as classic PCAP: time resolution of the input, nanoseconds for pcapng.
    EXPECT_EQ(capinfo(out, "-t"), format == std::string("pcap") ? "\tpcap\n" : "\tnsecpcap\n")
        << format;
    EXPECT_EQ(capinfo(out, "-c"), "\t300\n") << format;
  }
  // tshark sees the frames of the pcapng saved as PCAP as they were.
  ASSERT_EQ(sh("editcap -F nsecpcap '" + path("out.pcapng") + "' '" + path("out.ns") + "'").status, 0);
  EXPECT_TRUE(frames_of(path("out.ns")) == want);
  // Read from a pipe, a pcapng saves the same.
  ASSERT_EQ(sh("cat '" + path("in.pcapng") + "' | '" + program("framekit") + "' -f /dev/stdin -s '" +
               path("piped.pcap") + "'").status, 0);
  EXPECT_EQ(read_file(path("piped.pcap")), read_file(path("out.pcapng")));
}

// --filter keeps what tcpdump keeps, in the same order, from either format.
TEST_F(CaptureToolsTest, FilterMatchesTcpdump) {
  ASSERT_EQ(sh("editcap -F pcapng '" + path("in.pcap") + "' '" + path("in.pcapng") + "'").status, 0);
  const char *expressions[] = {"ether[0] & 1 = 0", "ip6", "not ether proto 0x86dd",
                               "len > 200 and ether[1] < 128"};
  for (const char *expr : expressions) {
    for (const char *in : {"in.pcap", "in.pcapng"}) {
      std::string mine = path("mine.pcap"), theirs = path("theirs.pcap");
      RunResult r = framekit({"-f", path(in), "--filter", expr, "-s", mine});
      ASSERT_EQ(r.status, 0) << expr << ": " << r.err;
      ASSERT_EQ(sh(std::string("tcpdump -r '") + path(in) + "' -w '" + theirs + "' '" + expr + "'").status, 0);
      EXPECT_EQ(capinfo(mine, "-c"), capinfo(theirs, "-c")) << expr << " on " << in;
      // From a classic file both write the same bytes; from pcapng the
      // time resolutions differ, the frames do not.
      if (in == std::string("in.pcap"))
        EXPECT_TRUE(read_file(mine) == read_file(theirs)) << expr;
      else
        EXPECT_TRUE(listed(mine) == listed(theirs)) << expr;
    }
  }
}

TEST_F(CaptureToolsTest, SnaplenCutsFramesAndTheHeader) {
  std::string out = path("cut.pcap");
  ASSERT_EQ(framekit({"-f", path("in.pcap"), "--snaplen", "100", "-l", "-s", out}).status, 0);
  uint32_t snaplen = 0;
  memcpy(&snaplen, read_file(out).data() + 16, sizeof snaplen);
  EXPECT_EQ(snaplen, 100u);
  RunResult t = sh("tshark -r '" + out + "' -T fields -e frame.len -e frame.cap_len");
  RunResult u = sh("tshark -r '" + path("in.pcap") + "' -T fields -e frame.len");
  std::istringstream cut(t.out), orig(u.out);
  int n = 0;
  for (int len, cap, want; cut >> len >> cap && orig >> want; ++n) {
    EXPECT_EQ(len, want) << n;
    EXPECT_EQ(cap, std::min(100, 60 + n)) << n;
  }
  EXPECT_EQ(n, 300);
}

// What framekit and kvoplay refuse: a message, status 1, nothing written
// or sent.
TEST_F(CaptureToolsTest, RefusedInputsAndOptions) {
  write_file(path("text.txt"), "not a capture at all\n");
  // Two interfaces of different link types.
  ASSERT_EQ(sh("editcap -F pcapng -T ieee-802-11 '" + path("in.pcap") + "' '" + path("wifi.pcapng") +
               "' && editcap -F pcapng '" + path("in.pcap") + "' '" + path("eth.pcapng") +
               "' && mergecap -F pcapng -w '" + path("mixed.pcapng") + "' '" + path("eth.pcapng") +
               "' '" + path("wifi.pcapng") + "'").status, 0);
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"-f", "text.txt"}, "text.txt' is neither a PCAP nor a pcapng capture"},
      {{"-f", "mixed.pcapng"}, "interfaces of different link types"},
      {{"-f", "in.pcap", "--filter", "ether[0] ==="}, "syntax error"},
      {{"-f", "in.pcap", "--filter", "nosuchproto"}, "can't parse filter expression"},
      {{"-f", "in.pcap", "--filter", "ether[0] = 1 and ether[0] = 2"}, "rejects all packets"},
      {{"-f", "in.pcap", "--snaplen", "0"}, "Cannot parse <bytes> `0'"},
      {{"-f", "in.pcap", "-S", "12x"}, "Cannot parse <bytes> `12x'"},
      {{"-f", "in.pcap", "-S", "4294967296"}, "Cannot parse <bytes>"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-s", "out.pcap"});
    RunResult r = framekit(args);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
    EXPECT_FALSE(file_exists(path("out.pcap"))) << what;
  }
  for (const char *in : {"text.txt", "mixed.pcapng"}) {
    RunOptions o{{{"KVO2_SIM_OUT", path("sent.pcap")}}, dir_.path(), ""};
    RunResult r = run(program("kvoplay"), {"-f", in}, o);
    EXPECT_EQ(r.status, 1) << in;
    EXPECT_NE(r.err.find(std::string(in) + "'"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("sent.pcap"))) << in;
  }
}

// The failing save's reason follows its warning; --clone works as the
// usage line says.
TEST_F(CaptureToolsTest, SaveFailureReasonAndCloneOption) {
  RunResult r = framekit({"-f", path("in.pcap"), "-s", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "framekit: Error during save_file\nframekit: No space left on device\n");
  r = framekit({"-f", path("in.pcap"), "--clone", "0:2", "-s", path("cloned.pcap")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(capinfo(path("cloned.pcap"), "-c"), "\t301\n");
}

// The simulated transmit path writes what it was handed: the frames of a
// pcapng, paced from their own times.
TEST_F(CaptureToolsTest, ReplayOfPcapngSendsEveryFrame) {
  ASSERT_EQ(sh("editcap -F pcapng '" + path("in.pcap") + "' '" + path("in.pcapng") + "'").status, 0);
  RunOptions o{{{"KVO2_SIM_OUT", path("sent.pcap")}}, dir_.path(), ""};
  RunResult r = run(program("kvoplay"), {"-f", "in.pcapng"}, o);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(capinfo(path("sent.pcap"), "-c"), "\t300\n");
  RunResult sent = sh("tshark -r '" + path("sent.pcap") + "' -T fields -e frame.cap_len -x");
  RunResult orig = sh("tshark -r '" + path("in.pcap") + "' -T fields -e frame.cap_len -x");
  EXPECT_TRUE(sent.out == orig.out);
}

}  // namespace
