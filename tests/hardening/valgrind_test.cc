// The end-to-end runs of the four programs under valgrind's memcheck: no
// invalid access, no use of uninitialised memory, no definite leak, on the
// normal paths and on a few error paths.  Runs only in the normal tree
// (valgrind cannot watch sanitized programs).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

using orvik_test::frame_bytes;
using orvik_test::pcap_global_header;
using orvik_test::pcap_record;
using orvik_test::program;
using orvik_test::read_file;
using orvik_test::run;
using orvik_test::RunOptions;
using orvik_test::RunResult;
using orvik_test::TempDir;
using orvik_test::write_file;

// Whether valgrind wrote a report: a line part of the form "==PID== ".
bool has_report(const std::string &err) {
  for (size_t at = err.find("=="); at != std::string::npos; at = err.find("==", at + 2)) {
    size_t digits = err.find_first_not_of("0123456789", at + 2);
    if (digits != std::string::npos && digits > at + 2 && err.compare(digits, 3, "== ") == 0)
      return true;
  }
  return false;
}

std::string find_valgrind() {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/valgrind";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

class Valgrind : public ::testing::Test {
 protected:
  void SetUp() override {
    valgrind_ = find_valgrind();
    ASSERT_FALSE(valgrind_.empty()) << "valgrind is not installed (scripts/install-deps)";
    fs::copy_file(std::string(ORVIK_SOURCE_DIR) + "/examples/addresses.xml",
                  dir_.file("addresses.xml"));
    fs::copy_file(std::string(ORVIK_SOURCE_DIR) + "/examples/card.sim", dir_.file("card.sim"));
    std::string cap = pcap_global_header();
    for (int i = 0; i < 5; ++i) cap += pcap_record(i, i * 1000, frame_bytes(60 + i, i));
    cap += pcap_record(9, 0, "");
    write_file(dir_.file("cap.pcap"), cap);
  }

  // Runs a program under memcheck with the card, the description and the
  // simulated transmit path of the test directory; checks the status the
  // program itself gives and that valgrind found nothing.  Origins of
  // uninitialised values are not tracked (a third of the run time): to see
  // where one came from, run the failing command with --track-origins=yes.
  RunResult memcheck(const std::string &prog, const std::vector<std::string> &args,
                     int status, std::map<std::string, std::string> env = {}) {
    RunOptions o;
    o.cwd = dir_.path();
    o.env = {{"LUDRA_SIM", dir_.file("card.sim")}, {"KVO2_SIM_OUT", dir_.file("sent.pcap")},
             {"LUDRA_SIM_TRACE", ""}, {"KVO2_SIM_LOG", ""}, {"TESSEL_VERBOSE", ""},
             {"QUERY_STRING", ""}, {"HTTP_REFERER", ""}};
    for (const auto &[k, v] : env) o.env[k] = v;
    std::vector<std::string> all = {"-q", "--error-exitcode=1", "--leak-check=full",
                                    "--errors-for-leak-kinds=definite",
                                    program(prog)};
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = run(valgrind_, all, o);
    std::string what = prog;
    for (const auto &a : args) what += " " + a;
    EXPECT_FALSE(has_report(r.err)) << what << "\n" << r.err;
    EXPECT_EQ(r.status, status) << what << "\n" << r.err;
    return r;
  }

  TempDir dir_;
  std::string valgrind_;
};

TEST_F(Valgrind, Ovkshow) {
  RunResult r = memcheck("ovkshow", {}, 0);
  EXPECT_NE(r.out.find("Frames received:\t123456789\n"), std::string::npos) << r.out;
  memcheck("ovkshow", {"-l"}, 0);
  memcheck("ovkshow", {"-L"}, 0);
  memcheck("ovkshow", {"-n", "^rx_", "-V"}, 0);
  std::string card = read_file(dir_.file("card.sim"));
  memcheck("ovkshow", {"-S", "mac_mtu", "9000"}, 0);
  EXPECT_NE(read_file(dir_.file("card.sim")), card) << "the change did not reach the card";
  memcheck("ovkshow", {"-S", "no_such_item", "1"}, 2);
  memcheck("ovkshow", {"-f", "missing.xml"}, 1);
  memcheck("ovkshow", {"--poke", "mdio:0x4000:1:2", "0x1234"}, 0);
  r = memcheck("ovkshow", {"--peek", "mdio:0x4000:1:2"}, 0);
  EXPECT_EQ(r.out, "0x1234\n");
  memcheck("ovkshow", {"--peek", "vq:0x1000:0x13"}, 1);
}

TEST_F(Valgrind, Framekit) {
  RunResult r = memcheck("framekit", {"-f", "cap.pcap", "-c", "0:3", "-d", "1", "-D", "2:3",
                                      "-r", "-l", "-s", dir_.file("edited.pcap")}, 0);
  EXPECT_NE(r.out.find("0: size: "), std::string::npos) << r.out;
  EXPECT_GT(read_file(dir_.file("edited.pcap")).size(), 24u);
  memcheck("framekit", {"-f", "cap.pcap", "-s", dir_.file("no/dir/x.pcap")}, 1);
  write_file(dir_.file("cut.pcap"), pcap_global_header().substr(0, 10));
  memcheck("framekit", {"-f", "cut.pcap"}, 1);
}

TEST_F(Valgrind, Kvoplay) {
  RunResult r = memcheck("kvoplay", {"-f", "cap.pcap", "-I", "1", "-i", "0s1000ns"}, 0);
  EXPECT_NE(r.out.find("Amount of sent packets: 6\n"), std::string::npos) << r.out;
  EXPECT_GT(read_file(dir_.file("sent.pcap")).size(), 24u);
  memcheck("kvoplay", {"-f", "cap.pcap", "-g", "-B", "1G", "-r", "1", "-q"}, 0);
  memcheck("kvoplay", {"-f", "missing.pcap"}, 2);
  r = memcheck("kvoplay", {"-f", "cap.pcap", "-x", "2.5", "--loop", "3", "--stats"}, 0);
  EXPECT_NE(r.out.find("Frames handed over: 18\n"), std::string::npos) << r.out;
}

TEST_F(Valgrind, CgiPages) {
  RunResult list = memcheck("orvik.cgi", {}, 0, {{"QUERY_STRING", "list"}});
  EXPECT_NE(list.out.find("Available sections"), std::string::npos) << list.out;
  RunResult section = memcheck("orvik.cgi", {}, 0, {{"QUERY_STRING", "s=2"}});
  EXPECT_NE(section.out.find("<table"), std::string::npos) << section.out;
  memcheck("orvik.cgi", {}, 0);  // outside a web server: every section
  RunResult change = memcheck("orvik.cgi", {}, 0,
                              {{"QUERY_STRING", "s=2&S=mac_mtu&val=1500"},
                               {"HTTP_REFERER", "http://localhost/cgi-bin/orvik.cgi?s=2"}});
  EXPECT_EQ(change.out, "Location: http://localhost/cgi-bin/orvik.cgi?s=2\n\n");
  RunResult error = memcheck("orvik.cgi", {}, 0, {{"QUERY_STRING", "S=no_such_item"}});
  EXPECT_NE(error.out.find("\nStatus: 500\n"), std::string::npos) << error.out;
  RunResult bad = memcheck("orvik.cgi", {}, 0, {{"QUERY_STRING", "S=mac_mtu&val=x"}});
  EXPECT_NE(bad.out.find("\nStatus: 400\n"), std::string::npos) << bad.out;
}

}  // namespace
