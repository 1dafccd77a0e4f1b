// framekit end to end: options, the fixed order of edits, list output,
// warnings and exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using namespace orvik_test;

const char kUsage[] =
    "Usage: framekit [-hvlr] {-f file}\n"
    "-c, --clone <from>:<to>              Copy the frame <from> to <to> position\n"
    "-d, --delete <index>                 Delete frame <index>\n"
    "-D, --delete-range <from>:<to>       Delete frames from rande <from>:<to>\n"
    "-f, --file <PCAP file>               Specify input file\n"
    "-h, --help                           Show this text\n"
    "-l, --list                           Print the list of frames\n"
    "-r, --rand                           Randomize MAC addresses of frames\n"
    "-v, --verbose                        Verbose output\n"
    "-s, --save <PCAP file>               Save to output\n"
    "-F, --filter <expression>            Keep only the frames that match a libpcap filter\n"
    "-S, --snaplen <bytes>                Cut every frame to at most <bytes>\n";

const char kRule[] = "-------------------------\n";

class FramekitTest : public testing::Test {
 protected:
  // Frame i has 10 * (i + 1) bytes and the timestamp 100 + i, so a list
  // line tells which frame it is.
  void SetUp() override {
    capture_ = pcap_global_header();
    for (int i = 0; i < 5; ++i) capture_ += pcap_record(100 + i, 0, frame_bytes(10 * (i + 1), i));
    input_ = dir_.file("in.pcap");
    write_file(input_, capture_);
  }

  RunResult framekit(std::vector<std::string> args) {
    return run(program("framekit"), args, RunOptions{{}, dir_.path(), ""});
  }

  // The -l lines after the rule, as "size/ts" items.
  static std::string listed(const std::string &out) {
    size_t at = out.find(kRule);
    if (at == std::string::npos) return "<no list>";
    std::string items;
    int n, size, ts;
    std::istringstream lines(out.substr(at + sizeof kRule - 1));
    std::string line;
    while (std::getline(lines, line)) {
      if (sscanf(line.c_str(), "%i: size: %i, ts:%i", &n, &size, &ts) != 3) break;
      items += (items.empty() ? "" : " ") + std::to_string(size);
    }
    return items;
  }

  TempDir dir_;
  std::string capture_, input_;
};

TEST_F(FramekitTest, ListShowsEveryFrame) {
  RunResult r = framekit({"-f", input_, "-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "File name: `" + input_ + "'\n" + kRule +
                       "0: size: 10, ts:100\n1: size: 20, ts:101\n2: size: 30, ts:102\n"
                       "3: size: 40, ts:103\n4: size: 50, ts:104\n");
  EXPECT_EQ(r.err, "");
}

// The three editing options share one number pair that the last of them
// sets; the edits run clone, delete, delete-range whatever their order.
TEST_F(FramekitTest, EditsShareTheLastPairAndRunInFixedOrder) {
  struct Case {
    std::vector<std::string> args;
    const char *sizes;
  } cases[] = {
      {{"-c", "0:3", "-d", "1"}, "10 30 20 40 50"},      // pair (1, 3)
      {{"-d", "2", "-c", "0:1"}, "10 20 30 40 50"},      // clone 0 to 1, then delete 0
      {{"-D", "1:2", "-d", "0"}, "50"},                  // pair (0, 2)
      {{"-d", "1", "-D", "3:4"}, "10 20 30"},            // pair (3, 4)
      {{"--copy", "4:0"}, "50 10 20 30 40 50"},
      {{"--cop", "0:9"}, "10 20 30 40 50 10"},
      {{"--delete", "0"}, "20 30 40 50"},
      {{"--delete-range", "0:3"}, "50"},
      {{"-d", "4294967296"}, "20 30 40 50"},             // low 32 bits: 0
      {{"-d", "0x4"}, "10 20 30 40"},
      {{"-D", "-1:2"}, "10 20 30 40 50"},
      {{"-v", "--verbose", "-r", "--rand"}, "10 20 30 40 50"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-f", input_, "-l"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = framekit(args);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(listed(r.out), c.sizes) << what;
  }
  EXPECT_EQ(read_file(input_), capture_) << "without -s the input stays as it was";
}

TEST_F(FramekitTest, HelpAfterFileShowsUsageWithoutLoading) {
  RunResult r = framekit({"-f", "missing.pcap", "-h", "-d", "x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("File name: `missing.pcap'\n") + kUsage);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(framekit({"--help"}).out, kUsage);
}

TEST_F(FramekitTest, UnparsableNumbersStopBeforeAnyFileIsTouched) {
  struct Case {
    std::vector<std::string> args;
    const char *warning;
  } cases[] = {
      {{"-c", "3"}, "framekit: Cannot parse <from> and <to>\n"},
      {{"-D", "1:x"}, "framekit: Cannot parse <from> and <to>\n"},
      {{"-d", "abc"}, "framekit: Cannot parse <index>\n"},
  };
  std::string out = dir_.file("out.pcap");
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-f", input_, "-s", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = framekit(args);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.err, c.warning) << what;
    EXPECT_FALSE(file_exists(out)) << what;
  }
}

TEST_F(FramekitTest, FailedStepsWarnRunOnAndEndWithStatus1) {
  std::string out = dir_.file("out.pcap");
  RunResult r = framekit({"-f", input_, "-d", "-1", "-l", "-s", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "framekit: Error during remove_frame\n");
  EXPECT_EQ(listed(r.out), "10 20 30 40 50");
  EXPECT_EQ(read_file(out), capture_);

  r = framekit({"-f", input_, "-D", "3:1", "-c", "9:0"});  // pair (9, 0)
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "framekit: Error during clone_frame\nframekit: Error during remove_frame_interval\n");

  r = framekit({"-f", input_, "-s", dir_.file("no/such/dir/out.pcap")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "framekit: Error during save_file\nframekit: No such file or directory\n");
}

TEST_F(FramekitTest, SaveMayReplaceTheInput) {
  RunResult r = framekit({"-f", input_, "-D", "1:3", "-s", input_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "File name: `" + input_ + "'\nSave File name: `" + input_ + "'\n");
  EXPECT_EQ(read_file(input_),
            pcap_global_header() + pcap_record(100, 0, frame_bytes(10, 0)) +
                pcap_record(104, 0, frame_bytes(50, 4)));
}

TEST_F(FramekitTest, RandomizeChangesOnlyTheAddresses) {
  std::string out = dir_.file("out.pcap");
  RunResult r = framekit({"-r", "-f", input_, "-s", out});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string saved = read_file(out);
  ASSERT_EQ(saved.size(), capture_.size());
  size_t at = 24;
  for (int i = 0; i < 5; ++i) {
    size_t size = 10 * (i + 1), addr = std::min<size_t>(size, 12);
    EXPECT_EQ(saved.substr(at, 16), capture_.substr(at, 16)) << i;
    EXPECT_NE(saved.substr(at + 16, addr), capture_.substr(at + 16, addr)) << i;
    EXPECT_EQ(saved.substr(at + 16 + addr, size - addr), capture_.substr(at + 16 + addr, size - addr));
    at += 16 + size;
  }
}

TEST_F(FramekitTest, InputProblemsEndWithStatus1) {
  write_file(dir_.file("empty.pcap"), "");
  struct Case {
    std::vector<std::string> args;
    const char *err;
  } cases[] = {
      {{"-l"}, "No input file specified\n"},
      {{"-f", "missing.pcap"}, "Cannot open file `missing.pcap'\n"},
      {{"-f", "empty.pcap"}, "framekit: Load file failed\n"},
  };
  for (const Case &c : cases) {
    RunResult r = framekit(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  // Unknown options and missing arguments: getopt's own words, status 1.
  for (std::vector<std::string> args : {std::vector<std::string>{"--klone", "0:1"},
                                        std::vector<std::string>{"-x"},
                                        std::vector<std::string>{"-f", input_, "-d"}}) {
    RunResult r = framekit(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_NE(r.err.find("option"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kRule), std::string::npos);
  }
}

TEST_F(FramekitTest, NonOptionArgumentsAreNamedAndIgnored) {
  RunResult r = framekit({"-f", input_, "one", "two"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "File name: `" + input_ + "'\nnon-option ARGV-elements: one two \n");
}

}  // namespace
