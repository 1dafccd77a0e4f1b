// Hostile and broken input for all four programs: design descriptions,
// captures, command lines, CGI queries and card files.  Every run must end
// with a clear message and a defined exit status (never a signal), and no
// input file may change.  The large inputs are generated here at run time.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

using orvik_test::append_raw;
using orvik_test::frame_bytes;
using orvik_test::pcap_global_header;
using orvik_test::pcap_record;
using orvik_test::pcap_record_header;
using orvik_test::pcap_swapped;
using orvik_test::PcapGlobal;
using orvik_test::program;
using orvik_test::read_file;
using orvik_test::run;
using orvik_test::RunOptions;
using orvik_test::RunResult;
using orvik_test::TempDir;
using orvik_test::write_file;

std::string example(const std::string &name) {
  return std::string(ORVIK_SOURCE_DIR) + "/examples/" + name;
}

// Every file under a directory with its content, to prove a run left its
// inputs alone (nothing changed, added or removed).
std::map<std::string, std::string> snapshot(const std::string &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().string()] = read_file(e.path().string());
  return files;
}

std::string describe(const std::string &prog, const std::vector<std::string> &args) {
  std::string s = fs::path(prog).filename().string();
  for (const auto &a : args) s += " '" + (a.size() > 60 ? a.substr(0, 60) + "...'" : a + "'");
  return s;
}

bool is_page(const std::string &out) { return out.rfind("Content-type: text/html", 0) == 0; }

// An answer whose header lines carry the status line.
bool has_status(const std::string &out, const std::string &status) {
  std::string head = out.substr(0, out.find("\n\n") + 1);
  return is_page(out) && head.find("\n" + status + "\n") != std::string::npos;
}

// A run that failed cleanly: the expected status, and standard error
// carries the expected text (or, without one, at least something).
void expect_refused(const RunResult &r, int status, const std::string &message,
                    const std::string &what) {
  EXPECT_LT(r.status, 128) << what << " died of a signal\n" << r.err;
  EXPECT_EQ(r.status, status) << what << "\nstdout: " << r.out.substr(0, 500)
                              << "\nstderr: " << r.err.substr(0, 2000);
  EXPECT_FALSE(r.err.empty()) << what << " failed without a word";
  if (!message.empty()) {
    EXPECT_NE(r.err.find(message), std::string::npos) << what << "\n" << r.err;
  }
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << "\n" << r.err;
}

// Inputs live in in/, the design description and card among them; the
// programs run with in/ as working directory.
class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    in_ = tmp_.file("in");
    out_ = tmp_.file("out");
    fs::create_directories(in_);
    fs::create_directories(out_);
    fs::copy_file(example("addresses.xml"), in_ + "/addresses.xml");
    fs::copy_file(example("card.sim"), in_ + "/card.sim");
    // Every read writes the configuration items once; after that, reads
    // leave the card file as it is.
    RunResult r = run(program("ovkshow"), {"-L"}, opts());
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::string in(const std::string &name) const { return in_ + "/" + name; }
  std::string out(const std::string &name) const { return out_ + "/" + name; }

  RunOptions opts(const std::map<std::string, std::string> &extra = {}) const {
    RunOptions o;
    o.cwd = in_;
    o.env = {{"LUDRA_SIM", in("card.sim")}, {"KVO2_SIM_OUT", out("sent.pcap")},
             {"LUDRA_SIM_TRACE", ""}, {"KVO2_SIM_LOG", ""}, {"TESSEL_VERBOSE", ""},
             {"QUERY_STRING", ""}, {"HTTP_REFERER", ""}};
    for (const auto &[k, v] : extra) o.env[k] = v;
    return o;
  }

  // Runs prog and checks that nothing under in/ changed.
  RunResult run_checked(const std::string &prog, const std::vector<std::string> &args,
                        const RunOptions &o) {
    auto before = snapshot(in_);
    RunResult r = run(program(prog), args, o);
    auto after = snapshot(in_);
    EXPECT_EQ(before.size(), after.size()) << describe(prog, args) << " added or removed a file";
    for (const auto &[path, content] : before) {
      auto it = after.find(path);
      EXPECT_TRUE(it != after.end() && it->second == content)
          << describe(prog, args) << " changed " << path;
    }
    return r;
  }

  RunResult cgi(const std::string &query) {
    RunResult r = run_checked("orvik.cgi", {}, opts({{"QUERY_STRING", query}}));
    EXPECT_EQ(r.status, 0) << "orvik.cgi '" << query.substr(0, 80) << "'\n" << r.err;
    return r;
  }

  TempDir tmp_;
  std::string in_, out_;
};

// ---- design descriptions -------------------------------------------------

std::string nested(int depth) {
  std::string s = "<?xml version=\"1.0\"?>\n<device>";
  for (int i = 0; i < depth; ++i) s += "<modules>";
  for (int i = 0; i < depth; ++i) s += "</modules>";
  return s + "</device>\n";
}

std::string many_modules(int count) {
  std::string s = "<?xml version=\"1.0\"?>\n<device>\n";
  for (int i = 0; i < count; ++i)
    s += "<modules><m header=\"M" + std::to_string(i) +
         "\"><addresses><address ba=\"0x10000\"/></addresses><items><item><name>r" +
         std::to_string(i) + "</name><display>R</display><offset>0</offset>"
         "<access>RO</access></item></items></m></modules>\n";
  return s + "</device>\n";
}

std::string one_item(const std::string &item_body, const std::string &ba = "0x10000") {
  return "<?xml version=\"1.0\"?>\n<device><modules><m bus=\"VQBUS\" header=\"M\">"
         "<addresses><address ba=\"" + ba + "\"/></addresses><items><item>" + item_body +
         "</item></items></m></modules></device>\n";
}

const char kElf[] = "\x7f" "ELF\x02\x01\x01\0\0\0garbage";

// Descriptions that cannot be loaded at all: status 1 and the library's
// refusal, on the console and on the web page.
TEST_F(BadInput, UnloadableDescriptionsAreRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"blank", "   \n\n"},
      {"not_xml", std::string(kElf, sizeof kElf - 1)},
      {"unterminated", "<?xml version=\"1.0\"?>\n<device><modules><m header=\"A\"><items><item>"},
      {"cut_in_tag", "<device><modules><m header"},
      {"wrong_root", "<?xml version=\"1.0\"?><root><modules/></root>"},
      {"only_root", "<device/>"},
      {"deep_nesting", nested(20000)},
      {"no_items", "<device><modules><m header=\"A\"><addresses><address ba=\"1\"/>"
                   "</addresses></m></modules></device>"},
      {"nameless_items", one_item("<offset>4</offset><access>RO</access>")},
      {"two_roots", "<device/><device/>"},
      // Exponential entity expansion, and an entity that reads a file.
      {"entities",
       "<?xml version=\"1.0\"?><!DOCTYPE device [<!ENTITY a \"aaaaaaaaaa\">"
       "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
       "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
       "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
       "<!ENTITY x SYSTEM \"/etc/passwd\">]>"
       "<device><modules><m header=\"&g;\"><addresses><address ba=\"0x10000\"/></addresses>"
       "<items><item><name>&g;</name><display>&x;</display><access>RO</access></item>"
       "</items></m></modules></device>"},
  };
  for (const auto &[name, text] : cases) {
    write_file(in(name + ".xml"), text);
    RunResult r = run_checked("ovkshow", {"-f", name + ".xml"}, opts());
    expect_refused(r, 1, "Error - initialisation of ovkc", "ovkshow -f " + name);

    // The CGI loads "addresses.xml" from its working directory.
    TempDir web;
    write_file(web.file("addresses.xml"), text);
    RunOptions o = opts({{"QUERY_STRING", "s=1"}});
    o.cwd = web.path();
    RunResult page = run(program("orvik.cgi"), {}, o);
    EXPECT_EQ(page.status, 0) << name;
    EXPECT_TRUE(has_status(page.out, "Status: 500")) << name << "\n" << page.out;
    EXPECT_NE(page.out.find("Error - initialisation of ovkc"), std::string::npos) << name;
  }
  RunResult missing = run_checked("ovkshow", {"-f", "no-such-file.xml"}, opts());
  expect_refused(missing, 1, "Error - could not open configuration file", "ovkshow missing -f");
  RunResult dir = run_checked("ovkshow", {"-f", "."}, opts());
  expect_refused(dir, 1, "Error", "ovkshow -f <directory>");
}

// Descriptions that load, however odd: the report runs to the end.
TEST_F(BadInput, OddDescriptionsStillReport) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"huge_numbers",
       one_item("<name>big</name><display>Big</display><offset>FFFFFFFFFFFFFFFFFFFFFF</offset>"
                "<mdiodev>99999999999999999999</mdiodev><bitmask>123456789ABCDEF0123</bitmask>"
                "<access>RO</access><format>TIMESTAMP</format><size>D</size>"
                "<param value=\"99999999999999999999999\">x</param>",
                "0x1FFFFFFFFFFFFFFFFFFFF")},
      {"negative_numbers",
       one_item("<name>neg</name><display>Neg</display><offset>-4</offset><mdiodev>-1</mdiodev>"
                "<repeat incoffset=\"-2147483648\">-5</repeat><access>RO</access>", "-1")},
      {"huge_incoffset",
       one_item("<name>far</name><display>Far</display><repeat incoffset=\"2147483647\">4"
                "</repeat><access>RO</access>")},
      {"missing_fields",
       "<device><modules><m><items><item><name>a</name></item><item><display>b</display>"
       "</item><item><name>c</name><display>C</display><access>CNT</access></item>"
       "<item><name>d</name><display>D</display><format>ENUM</format><access>RO</access>"
       "<param/><param value=\"\"/></item><item><name>e</name><display>E</display>"
       "<format>HIST</format><param/></item><item><name>f</name><display>F</display>"
       "<access>CFG</access></item></items></m></modules></device>"},
      {"bad_equations",
       one_item("<name>eq</name><display>Eq</display><access>CNT</access>"
                "<param>1,2,3,4,5,6,7,8,9,+,+,+,/,/,0,/,&lt;,&gt;,eq,,,99999999999999999999999"
                "</param>")},
      {"unknown_keywords",
       "<device><modules><m bus=\"CAN\" header=\"M\"><addresses><address ba=\"zz\"/>"
       "</addresses><items><item><name>x</name><display>X</display><size>Q</size>"
       "<access>XX</access><format>PURPLE</format><color>red</color></item><bogus/>"
       "</items></m></modules><junk/></device>"},
  };
  for (const auto &[name, text] : cases) {
    write_file(in(name + ".xml"), text);
    RunResult r = run_checked("ovkshow", {"-f", name + ".xml"}, opts());
    EXPECT_EQ(r.status, 0) << name << "\n" << r.err.substr(0, 2000);
    EXPECT_EQ(r.out.find("root:"), std::string::npos) << name << ": a file was read in";
    RunResult list = run_checked("ovkshow", {"-f", name + ".xml", "-l"}, opts());
    EXPECT_EQ(list.status, 0) << name << "\n" << list.err.substr(0, 2000);
  }
}

// A repeat count is a number like any other: a huge one must not make the
// loader build billions of registers (it took all the memory there was).
// The run is fenced in, so that a relapse fails instead of swapping.
TEST_F(BadInput, HugeRepeatCountIsRefused) {
  for (const std::string count : {"2147483647", "99999999999", "0x7fffffff", "65537"}) {
    write_file(in("repeat.xml"),
               one_item("<name>r</name><display>R</display><repeat incoffset=\"1\">" + count +
                        "</repeat><access>RO</access>"));
    RunOptions o = opts();
#if defined(__SANITIZE_ADDRESS__)
    const char *asan = getenv("ASAN_OPTIONS");
    o.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":hard_rss_limit_mb=1024";
    RunResult r = run_checked("ovkshow", {"-f", "repeat.xml", "-L"}, o);
#else
    auto before = snapshot(in_);
    RunResult r = run("/bin/sh", {"-c", "ulimit -v 1048576; exec \"$0\" \"$@\"",
                                  program("ovkshow"), "-f", "repeat.xml", "-L"}, o);
    EXPECT_EQ(before, snapshot(in_));
#endif
    EXPECT_EQ(r.status, 0) << count << "\n" << r.err.substr(0, 1000);
    EXPECT_EQ(r.out, "r\tR\n") << count;
  }
  // The largest count still accepted.
  write_file(in("repeat.xml"), one_item("<name>r</name><display>R</display><repeat>65536"
                                        "</repeat><access>RO</access>"));
  RunResult r = run_checked("ovkshow", {"-f", "repeat.xml", "-L"}, opts());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("r-65536\tR 65536\n"), std::string::npos);
}

TEST_F(BadInput, TenThousandModulesElements) {
  write_file(in("many.xml"), many_modules(10000));
  RunResult r = run_checked("ovkshow", {"-f", "many.xml", "-l"}, opts());
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
  // Every group is a section of its own, the last group first.
  EXPECT_EQ(r.out.rfind("1 M9999\n", 0), 0u) << r.out.substr(0, 200);
  EXPECT_NE(r.out.find("\n10000 M0\n"), std::string::npos);
}

// ---- captures ---------------------------------------------------------------

std::string record_with_length(uint32_t incl_len, const std::string &data) {
  return pcap_record_header(1, 0, incl_len, incl_len) + data;
}

// What framekit and kvoplay make of broken captures: a clean refusal for
// what cannot be loaded, the usable frames for the rest; the capture is
// never touched and a refused load writes no output.
TEST_F(BadInput, OddCaptures) {
  const std::string frame = frame_bytes(60, 1);
  struct Case {
    std::string name;
    std::string bytes;
    int frames;  // -1: the load is refused
  };
  // A 2 GiB record may or may not be allocated: then it is cut short and
  // dropped, else the load is refused.  Either way nothing breaks.
  constexpr int kEither = -2;
  const std::vector<Case> cases = {
      {"empty", "", -1},
      {"short_header", pcap_global_header().substr(0, 23), -1},
      {"header_only", pcap_global_header(), 0},
      {"cut_record_header", pcap_global_header() + pcap_record(1, 0, frame) + "\x01\x02\x03", 1},
      {"cut_payload", pcap_global_header() + pcap_record(1, 0, frame) +
                          pcap_record(2, 0, frame).substr(0, 40), 1},
      {"zero_lengths", pcap_global_header() + pcap_record(1, 0, "") + pcap_record(2, 0, frame) +
                           pcap_record(3, 0, ""), 3},
      {"huge_length", pcap_global_header() + pcap_record(1, 0, frame) +
                          record_with_length(0x7ffffff0u, frame), kEither},
      {"negative_length", pcap_global_header() + pcap_record(1, 0, frame) +
                              record_with_length(0x80000000u, frame), -1},
      {"max_length", pcap_global_header() + record_with_length(0xffffffffu, frame), -1},
      {"swapped_magic", pcap_swapped(pcap_global_header() + pcap_record(1, 0, frame)), 1},
  };
  for (const auto &c : cases) {
    write_file(in(c.name), c.bytes);
    write_file(out("keep"), "precious");
    RunResult r = run_checked("framekit", {"-f", c.name, "-l", "-s", out("keep")}, opts());
    if (c.frames == kEither) {
      EXPECT_TRUE(r.status == 0 || r.status == 1) << c.name << "\n" << r.err;
      EXPECT_LT(run_checked("kvoplay", {"-N", "-f", c.name}, opts()).status, 128) << c.name;
      continue;
    }
    if (c.frames < 0) {
      expect_refused(r, 1, "Load file failed", "framekit " + c.name);
      EXPECT_EQ(read_file(out("keep")), "precious") << c.name << ": output written after a refused load";
    } else {
      EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
      EXPECT_NE(r.out.find("-------------------------\n"), std::string::npos) << c.name;
      if (c.frames > 0) {
        EXPECT_NE(r.out.find(std::to_string(c.frames - 1) + ": size: "), std::string::npos)
            << c.name << "\n" << r.out;
      }
      EXPECT_EQ(r.out.find(std::to_string(c.frames) + ": size: "), std::string::npos)
          << c.name << "\n" << r.out;
      EXPECT_EQ(read_file(out("keep")).size() >= 24, true) << c.name;
    }

    RunResult k = run_checked("kvoplay", {"-N", "-f", c.name}, opts());
    if (c.frames < 0) {
      expect_refused(k, 2, "Error - cannot send", "kvoplay -N " + c.name);
    } else {
      EXPECT_EQ(k.status, 0) << c.name << "\n" << k.err;
      EXPECT_NE(k.out.find("Amount of sent packets: " + std::to_string(c.frames) + "\n"),
                std::string::npos) << c.name << "\n" << k.out;
    }
  }
  // Not a capture at all: a directory, a missing file.
  expect_refused(run_checked("framekit", {"-f", "."}, opts()), 1, "", "framekit -f <directory>");
  expect_refused(run_checked("framekit", {"-f", "nothing"}, opts()), 1, "Cannot open file",
                 "framekit -f <missing>");
  expect_refused(run_checked("kvoplay", {"-N", "-f", "nothing"}, opts()), 2,
                 "Error - cannot send", "kvoplay -f <missing>");
}

// A save that cannot happen leaves the target as it was and says so.
TEST_F(BadInput, FailedSaveKeepsTarget) {
  write_file(in("two"), pcap_global_header() + pcap_record(1, 0, frame_bytes(60, 1)) +
                            pcap_record(2, 0, frame_bytes(60, 2)));
  expect_refused(run_checked("framekit", {"-f", "two", "-s", out("no/such/dir/x")}, opts()), 1,
                 "Error during save_file", "framekit -s <bad path>");
  fs::create_directories(out("dir"));
  expect_refused(run_checked("framekit", {"-f", "two", "-s", out("dir")}, opts()), 1,
                 "Error during save_file", "framekit -s <directory>");
  EXPECT_TRUE(fs::is_directory(out("dir")));
}

// ---- command lines ----------------------------------------------------------

struct Line {
  std::string prog;
  std::vector<std::string> args;
  int status;
  std::string message;  // in standard error; empty: anything
};

// Output that cannot be written (here, to a full device) fails the run
// with a message, even when all else went well.
TEST_F(BadInput, UnwritableOutputFails) {
  write_file(in("cap"), pcap_global_header() + pcap_record(1, 0, frame_bytes(60, 1)));
  const std::vector<std::vector<std::string>> commands = {
      {"ovkshow", "-h"}, {"ovkshow", "--json"}, {"framekit", "-f", "cap", "-l"},
      {"kvoplay", "-f", "cap", "-N"}};
  for (const auto &c : commands) {
    std::string line = "exec";
    for (size_t i = 0; i < c.size(); ++i) line += " '" + (i == 0 ? program(c[0]) : c[i]) + "'";
    expect_refused(run("/bin/sh", {"-c", line + " >/dev/full"}, opts()), 1,
                   "cannot write the output: No space left on device", line);
  }
}

TEST_F(BadInput, HostileCommandLines) {
  write_file(in("two"), pcap_global_header() + pcap_record(1, 0, frame_bytes(60, 1)) +
                            pcap_record(2, 0, frame_bytes(60, 2)));
  const std::string big = "99999999999999999999999";
  const std::vector<Line> lines = {
      // Every option that takes an argument, without it.
      {"ovkshow", {"-f"}, 1, "requires an argument"},
      {"ovkshow", {"-s"}, 1, "requires an argument"},
      {"ovkshow", {"-S"}, 1, "requires an argument"},
      {"ovkshow", {"-n"}, 1, "requires an argument"},
      {"ovkshow", {"--file"}, 1, "requires an argument"},
      {"ovkshow", {"--section"}, 1, "requires an argument"},
      {"ovkshow", {"--set"}, 1, "requires an argument"},
      {"ovkshow", {"--name"}, 1, "requires an argument"},
      {"framekit", {"-f"}, 1, "requires an argument"},
      {"framekit", {"-s"}, 1, "requires an argument"},
      {"framekit", {"-c"}, 1, "requires an argument"},
      {"framekit", {"-d"}, 1, "requires an argument"},
      {"framekit", {"-D"}, 1, "requires an argument"},
      {"framekit", {"--file"}, 1, "requires an argument"},
      {"framekit", {"--save"}, 1, "requires an argument"},
      {"framekit", {"--copy"}, 1, "requires an argument"},
      {"framekit", {"--delete"}, 1, "requires an argument"},
      {"framekit", {"--delete-range"}, 1, "requires an argument"},
      {"kvoplay", {"-B"}, 1, "requires an argument"},
      {"kvoplay", {"-f"}, 1, "requires an argument"},
      {"kvoplay", {"-t"}, 1, "requires an argument"},
      {"kvoplay", {"-i"}, 1, "requires an argument"},
      {"kvoplay", {"-m"}, 1, "requires an argument"},
      {"kvoplay", {"-d"}, 1, "requires an argument"},
      {"kvoplay", {"-I"}, 1, "requires an argument"},
      {"kvoplay", {"-r"}, 1, "requires an argument"},
      {"kvoplay", {"-R"}, 1, "requires an argument"},
      {"kvoplay", {"-T"}, 1, "requires an argument"},
      {"kvoplay", {"-F"}, 1, "requires an argument"},
      {"kvoplay", {"--bw"}, 1, "requires an argument"},
      {"kvoplay", {"--timestamp"}, 1, "requires an argument"},
      // Unknown options.
      {"ovkshow", {"-Z"}, 1, "invalid option"},
      {"ovkshow", {"--bogus"}, 1, "unrecognized option"},
      {"framekit", {"-Z", "-f", "two"}, 1, "invalid option"},
      {"framekit", {"--bogus"}, 1, "unrecognized option"},
      {"kvoplay", {"-Z", "-f", "two"}, 1, "invalid option"},
      {"kvoplay", {"--bogus"}, 1, "unrecognized option"},
      // Numbers that are not numbers or do not fit.
      {"ovkshow", {"-s", "abc"}, 1, "parsing section argument"},
      {"ovkshow", {"-s", "-1"}, 1, "parsing section argument"},
      {"ovkshow", {"-s", ""}, 1, "parsing section argument"},
      {"ovkshow", {"-S", "mac_mtu", "lots"}, 1, "Error - value is not a number"},
      {"ovkshow", {"-S", "mac_mtu", ""}, 1, "Error - value is not a number"},
      {"ovkshow", {"-S", "no_such_item", "1"}, 2, "Error - change value was not successful"},
      {"ovkshow", {"-n", "(["}, 2, "Error - reading values from hardware"},
      {"ovkshow", {"-w"}, 1, "requires an argument"},
      {"ovkshow", {"-w", "nan"}, 1, "not a positive number of seconds"},
      {"ovkshow", {"-w", "inf"}, 1, "not a positive number of seconds"},
      {"ovkshow", {"--watch", big}, 1, "not a positive number of seconds"},
      {"ovkshow", {"-w", "1e-400"}, 1, "not a positive number of seconds"},
      {"ovkshow", {"--watch=0x"}, 1, "not a positive number of seconds"},
      {"ovkshow", {"--prometheus", "-L", "--json"}, 1, "exclude each other"},
      {"framekit", {"-f", "two", "-c", "1"}, 1, "Cannot parse <from> and <to>"},
      {"framekit", {"-f", "two", "-c", "x:y"}, 1, "Cannot parse <from> and <to>"},
      {"framekit", {"-f", "two", "-d", "one"}, 1, "Cannot parse <index>"},
      {"framekit", {"-f", "two", "-D", ":"}, 1, "Cannot parse <from> and <to>"},
      {"framekit", {"-f", "two", "-d", "-1"}, 1, "Error during remove_frame"},
      {"framekit", {"-f", "two", "-c", "5:0"}, 1, "Error during clone_frame"},
      {"framekit", {"-f", "two", "-D", "1:0"}, 1, "Error during remove_frame_interval"},
      {"framekit", {"-f", "two", "-c", big + ":" + big}, 1, ""},
      {"framekit", {}, 1, "No input file specified"},
      {"kvoplay", {"-N", "-f", "two", "-I", "abc"}, 1, "invalid number"},
      {"kvoplay", {"-N", "-f", "two", "-F", "zero"}, 1, "invalid number"},
      {"kvoplay", {"-N", "-f", "two", "-R", ""}, 1, "invalid number"},
      {"kvoplay", {"-N", "-f", "two", "-t", "5"}, 1, "invalid time"},
      {"kvoplay", {"-N", "-f", "two", "-i", "s ns"}, 1, "invalid time"},
      {"kvoplay", {"-N", "-f", "two", "-m", "1s"}, 1, "invalid time"},
      {"kvoplay", {"-N"}, 1, "No input file specified"},
  };
  for (const auto &l : lines) {
    RunResult r = run_checked(l.prog, l.args, opts());
    expect_refused(r, l.status, l.message, describe(l.prog, l.args));
  }
  // Help is the usage text on standard output, and status 1.
  RunResult help = run_checked("kvoplay", {"-h"}, opts());
  EXPECT_EQ(help.status, 1);
  EXPECT_EQ(help.out.rfind("Usage: kvoplay", 0), 0u) << help.out;
  // No streaming device to open.
  expect_refused(run_checked("kvoplay", {"-f", "two"}, opts({{"KVO2_SIM_OUT", ""}})), 2,
                 "Error - cannot send", "kvoplay without a device");
  // A section beyond the last one is an empty report, however far.
  RunResult far = run_checked("ovkshow", {"-s", big}, opts());
  EXPECT_EQ(far.status, 0) << far.err;
  EXPECT_EQ(far.out, "");
  // Odd but valid bandwidths and times still replay both frames.
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-B", "1e40G"}, {"-B", "-5k"}, {"-B", "nanG"}, {"-B", "0"},
        {"-i", "0s0ns"}, {"-i", "4294967295s999999999ns"}, {"-t", "0s4000000000ns"},
        {"-r", "4294967295"}, {"-r", big}, {"-I", "70000"}, {"-F", "0x"},
        {"-m", big + "s" + big + "ns"}}) {
    std::vector<std::string> all{"-N", "-q", "-f", "two"};
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = run_checked("kvoplay", all, opts());
    EXPECT_TRUE(r.status == 0 || r.status == 1) << describe("kvoplay", all) << "\n" << r.err;
    if (r.status == 1) {
      EXPECT_FALSE(r.err.empty()) << describe("kvoplay", all);
    }
  }
}

// ---- CGI queries ------------------------------------------------------------


TEST_F(BadInput, HostileQueries) {
  const std::string card = read_file(in("card.sim"));
  const std::vector<std::string> queries = {
      std::string(100000, 'A'),
      std::string(50000, '&'),
      "s=" + std::string(5000, '9'),
      "s=1" + std::string(20000, '&') + "x",
      "%",
      "s=1%",
      "%0",
      "%00",
      "s=%00",
      "s=-1",
      "s=+1",
      "s= 1",
      "=&=&==&&s",
      "\xff\xfe<script>alert(1)</script>",
  };
  for (const auto &q : queries) {
    RunResult r = cgi(q);
    EXPECT_TRUE(is_page(r.out)) << q.substr(0, 60) << "\n" << r.out.substr(0, 300);
    EXPECT_EQ(r.out.find("<script>"), std::string::npos) << q.substr(0, 60);
    EXPECT_TRUE(read_file(in("card.sim")) == card) << q.substr(0, 60) << " changed the card";
  }
  // Change requests that must be refused without touching the card.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"S=", "Status: 500"},
      {"S=%00", "Status: 500"},
      {"S=mac_mtu%00", "Status: 500"},
      {"S=mac_mtu&val=%", "Status: 400"},
      {"S=mac_mtu&val=%00", "Status: 400"},
      {"S=mac_mtu&val=1%00", "Status: 400"},
      {"S=mac_mtu&val=", "Status: 400"},
      {"S=mac_mtu&val=99999999999999999999999", "Status: 400"},
      {"S=mac_mtu&val=12abc", "Status: 400"},
      {"S=no_such_item", "Status: 500"},
      {"S=" + std::string(100000, 'x'), "Status: 500"},
      {"S=.*&val=1", "Status: 500"},
  };
  for (const auto &[q, status] : refused) {
    RunResult r = cgi(q);
    EXPECT_TRUE(has_status(r.out, status)) << q.substr(0, 60) << "\n" << r.out.substr(0, 300);
  }
  // A referer that would end the header line early is not used.
  TempDir web;
  fs::copy_file(in("addresses.xml"), web.file("addresses.xml"));
  fs::copy_file(in("card.sim"), web.file("card.sim"));
  RunOptions o = opts({{"QUERY_STRING", "S=mac_mtu&val=1500"},
                       {"HTTP_REFERER", "http://x/\r\nSet-Cookie: a=b\r\n\r\n<html>"},
                       {"LUDRA_SIM", web.file("card.sim")}});
  o.cwd = web.path();
  RunResult r = run(program("orvik.cgi"), {}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Location: /cgi-bin/orvik.cgi\n\n");
}

// ---- card files -------------------------------------------------------------

// A card file with a bad line fails the attach with one message naming the
// file and the line; the programs report it and the file stays as it was.
TEST_F(BadInput, CardFilesWithBadLines) {
  const std::vector<std::pair<std::string, std::string>> cards = {
      {"unknown", "firmware 1\nwhatever 1 2\n"},
      {"missing", "vq 0x10000 0x0\n"},
      {"extra", "vq 0x10000 0x0 1 2\n"},
      {"not_number", "vq 0x10000 zero 1\n"},
      {"too_big", "vq 0x10000 0x0 0x100000000\n"},
      {"mdio_too_big", "mdio 0x40 1 2 0x10000\n"},
      {"negative", "vq -1 0 0\n"},
      {"short_ident", "ident a b c\n"},
      {"binary", std::string("vq 0 0 1\n\0\x01\x02\xff\n", 14)},
      {"long_line", "vq " + std::string(100000, '7') + " 0 0\n"},
  };
  for (const auto &[name, text] : cards) {
    write_file(in(name + ".sim"), text);
    auto env = opts({{"LUDRA_SIM", in(name + ".sim")}});
    RunResult r = run_checked("ovkshow", {"-f", "addresses.xml"}, env);
    expect_refused(r, 2, "Error - reading values from hardware", "ovkshow, card " + name);
    EXPECT_NE(r.err.find(name + ".sim:"), std::string::npos) << r.err;
    r = run_checked("ovkshow", {"-S", "mac_mtu", "9000"}, env);
    expect_refused(r, 2, "Error - change value was not successful", "ovkshow -S, card " + name);
    r = run_checked("orvik.cgi", {}, opts({{"LUDRA_SIM", in(name + ".sim")}, {"QUERY_STRING", "s=1"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has_status(r.out, "Status: 500")) << name << "\n" << r.out.substr(0, 300);
    r = run_checked("kvoplay", {"-g", "-N", "-f", "nothing"}, env);
    EXPECT_LT(r.status, 128);
  }
  // A card file that is missing or a directory is a host without a card.
  for (const std::string &path : {in("none.sim"), in_}) {
    RunResult r = run_checked("ovkshow", {}, opts({{"LUDRA_SIM", path}}));
    expect_refused(r, 2, "Error - reading values from hardware", "ovkshow, card " + path);
  }
}

}  // namespace
