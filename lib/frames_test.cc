// Frame store: loading, saving, lifecycle.
#include "frames.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_util.h"
#include "tessel.h"

namespace {

using namespace orvik_test;

struct FrameView {
  int32_t ts_sec, ts_frac;
  uint32_t incl_len;
  std::string data;
};

std::vector<FrameView> list_frames() {
  std::vector<FrameView> v;
  frame_queue_t *q = ovke_get_frames();
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next)
    v.push_back({e->frame->header->ts_sec, e->frame->header->ts_usec, e->frame->header->incl_len,
                 std::string(reinterpret_cast<char *>(e->frame->payload),
                             static_cast<size_t>(e->frame->payload_size))});
  return v;
}

int load_path(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  int rc = ovke_load_file(&f);
  fclose(f);
  return rc;
}

// Runs fn with the library's verbosity at level and returns what it wrote
// to standard error.
template <typename Fn>
std::string stderr_of(int level, Fn fn) {
  int saved = verbose;
  verbose = level;
  testing::internal::CaptureStderr();
  fn();
  verbose = saved;
  return testing::internal::GetCapturedStderr();
}

class FramesTest : public testing::Test {
 protected:
  void SetUp() override { ovke_init(); }
  void TearDown() override { ovke_free(); }

  int load(const std::string &content) {
    std::string path = dir_.file("in-" + std::to_string(n_++) + ".pcap");
    write_file(path, content);
    return load_path(path);
  }

  TempDir dir_;
  int n_ = 0;
};

// Varied sizes, an empty record between others and header values no tool
// would write: all of it comes back byte for byte.
TEST_F(FramesTest, LoadThenSaveReproducesTheFile) {
  PcapGlobal g;
  g.magic = 0xa1b23c4d;  // nanosecond times
  g.major = 7;
  g.minor = 65535;
  g.thiszone = -3600;
  g.sigfigs = 0xdeadbeef;
  g.snaplen = 17;
  g.network = 0x12345678;
  std::string file = pcap_global_header(g) + pcap_record(1, 2, frame_bytes(60, 1), 1514) +
                     pcap_record(3, 999999999, "") + pcap_record(-5, -1, frame_bytes(1, 2), 1) +
                     pcap_record(7, 8, frame_bytes(9000, 3), 9000) +
                     pcap_record_header(9, 10, 0, 60);
  ASSERT_EQ(load(file), 0);
  std::vector<FrameView> v = list_frames();
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[1].data, "");
  EXPECT_EQ(v[2].ts_sec, -5);
  EXPECT_EQ(v[3].data, frame_bytes(9000, 3));
  EXPECT_EQ(v[4].ts_sec, 9);

  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out), file);
}

// A hundred and fifty thousand frames (their blocks reach chunks of
// the largest size), one frame larger than any chunk and a copy of it:
// edits and releases across chunk boundaries keep every frame intact, and
// the save writes the copies and the frames still as loaded in their new
// order.
TEST_F(FramesTest, LargeCapturesSurviveEditsAcrossChunks) {
  std::string file = pcap_global_header();
  std::vector<std::string> kept, records;
  for (int i = 0; i < 150000; ++i) {
    std::string data = frame_bytes(10 + i % 90, i);
    file += pcap_record(i, 0, data);
    if (i < 100 || i >= 120000) {
      kept.push_back(data);
      records.push_back(pcap_record(i, 0, data));
    }
  }
  std::string big = frame_bytes(9 << 20, 7);
  file += pcap_record(1, 1, big);
  kept.push_back(big);
  records.push_back(pcap_record(1, 1, big));
  ASSERT_EQ(load(file), 0);
  ASSERT_EQ(ovke_remove_frame_interval(100, 119999), OVKE_OK);
  ASSERT_EQ(ovke_clone_frame(static_cast<int32_t>(kept.size()) - 1, 0), OVKE_OK);
  ASSERT_EQ(ovke_clone_frame(150, 1), OVKE_OK);
  kept.insert(kept.begin(), big);
  records.insert(records.begin(), records.back());
  kept.insert(kept.begin() + 1, kept[150]);
  records.insert(records.begin() + 1, records[150]);
  ASSERT_EQ(ovke_remove_frame(0), OVKE_OK);
  kept.erase(kept.begin());
  records.erase(records.begin());
  std::vector<FrameView> v = list_frames();
  ASSERT_EQ(v.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) ASSERT_EQ(v[i].data, kept[i]) << i;
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  std::string expected = pcap_global_header();
  for (const std::string &r : records) expected += r;
  EXPECT_TRUE(read_file(out) == expected);
  ovke_free();
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "again")), 0);
  EXPECT_EQ(list_frames().size(), 1u);
}

TEST_F(FramesTest, GlobalHeaderNotReadWholeFails) {
  const std::string eof_msgs = "Unexpected end of file (ret 0, exp 1)\nerror reading file\n";
  for (size_t size : {0, 1, 23}) {
    ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 1, "ab")), 0);
    std::string err = stderr_of(2, [&] {
      EXPECT_EQ(load(pcap_global_header().substr(0, size)), 1) << size;
    });
    EXPECT_EQ(err, eof_msgs) << size;
    EXPECT_EQ(list_frames().size(), 1u) << size;
    ovke_init();
  }
  // Silent below level 2.
  EXPECT_EQ(stderr_of(1, [&] { EXPECT_EQ(load(""), 1); }), "");
}

TEST_F(FramesTest, HeaderOnlyFileLoadsEmptyAndIsReported) {
  PcapGlobal g;
  g.thiszone = -2;
  std::string err = stderr_of(0, [&] { EXPECT_EQ(load(pcap_global_header(g)), 0); });
  EXPECT_EQ(err,
            "Magic: A1B2C3D4h\nVersion: 2. 4\nGMT to local correction: -2\n"
            "Accuracy of timestamps: 0h\nMax length of each pkt: 65535B\n"
            "Data lint type: 1h\n-----------------------------------\n");
  EXPECT_TRUE(list_frames().empty());
}

TEST_F(FramesTest, RecordsAreReportedByLevel) {
  std::string file = pcap_global_header() + pcap_record(5, 42, "abc", 60);
  std::string err = stderr_of(2, [&] { EXPECT_EQ(load(file), 0); });
  EXPECT_NE(err.find("-\nTimestamp: 5.000000042\nLength of portion: 3\nLength of packet: 60\n"
                     "Data: (3B)\neof\n"),
            std::string::npos)
      << err;
  err = stderr_of(0, [&] { EXPECT_EQ(load(file), 0); });
  EXPECT_EQ(err.find("Length of portion"), std::string::npos);
  EXPECT_NE(err.find("Timestamp: 5.000000042\n"), std::string::npos);
}

TEST_F(FramesTest, CutRecordEndsTheLoadKeepingEarlierFrames) {
  std::string good = pcap_global_header() + pcap_record(1, 0, "first") + pcap_record(2, 0, "two");
  std::string cut_payload = pcap_record(3, 0, frame_bytes(100, 4)).substr(0, 16 + 50);
  std::string cut_header = pcap_record_header(3, 0, 4, 4).substr(0, 9);
  for (const std::string &tail : {cut_payload, cut_header}) {
    ovke_init();
    EXPECT_EQ(load(good + tail), 0);
    std::vector<FrameView> v = list_frames();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].data, "two");
  }
}

TEST_F(FramesTest, ImpossibleLengthFailsKeepingEarlierFrames) {
  for (uint32_t len : {0x80000000u, 0xFFFFFFFFu}) {
    ovke_init();
    std::string file = pcap_global_header() + pcap_record(1, 0, "kept") +
                       pcap_record_header(2, 0, len, len) + "xyz";
    EXPECT_EQ(load(file), 2) << len;
    std::vector<FrameView> v = list_frames();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].data, "kept");
  }
}

TEST_F(FramesTest, SecondLoadAppendsAndReplacesTheGlobalHeader) {
  PcapGlobal second;
  second.snaplen = 128;
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  ASSERT_EQ(load(pcap_global_header(second) + pcap_record(2, 0, "two")), 0);
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out),
            pcap_global_header(second) + pcap_record(1, 0, "one") + pcap_record(2, 0, "two"));
}

TEST_F(FramesTest, InitAndFreeEmptyTheListButKeepTheHeader) {
  PcapGlobal g;
  g.network = 105;
  ASSERT_EQ(load(pcap_global_header(g) + pcap_record(1, 0, "one")), 0);
  ovke_free();
  ASSERT_NE(ovke_get_frames(), nullptr);
  EXPECT_TRUE(list_frames().empty());
  ASSERT_EQ(load(pcap_global_header(g) + pcap_record(1, 0, "one")), 0);
  EXPECT_EQ(ovke_init(), OVKE_OK);
  EXPECT_TRUE(list_frames().empty());
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out), pcap_global_header(g));
}

// Emptied stores hand their memory to the next load, and a store emptied
// while another load's frames and copies are alive keeps them apart: every
// round lists and saves exactly its own frames, copies included.
TEST_F(FramesTest, StoresEmptiedAndLoadedAgainKeepEachRoundsFrames) {
  for (int round = 0; round < 4; ++round) {
    std::string first = frame_bytes(60 + round, round), second = frame_bytes(70, round + 9);
    ASSERT_EQ(load(pcap_global_header() + pcap_record(round, 1, first) + pcap_record(round, 2, second)), 0);
    ASSERT_EQ(ovke_clone_frame(0, 2), OVKE_OK);
    if (round % 2 == 1) {
      ASSERT_EQ(ovke_remove_frame(1), OVKE_OK);
    }
    std::vector<FrameView> v = list_frames();
    ASSERT_EQ(v.size(), round % 2 == 1 ? 2u : 3u) << round;
    EXPECT_EQ(v.back().data, first) << round;
    std::string out = dir_.file("round.pcap");
    ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
    std::string expected = pcap_global_header() + pcap_record(round, 1, first);
    if (round % 2 == 0) expected += pcap_record(round, 2, second);
    EXPECT_TRUE(read_file(out) == expected + pcap_record(round, 1, first)) << round;
    ovke_free();
  }
}

// Copies of a frame too large to share the store's first chunks get
// chunks of their own only until the chunks have grown: two thousand
// copies of a 20 000-byte frame take a few dozen mappings, not thousands
// (a process's mappings are limited, and each costs system calls).
TEST_F(FramesTest, CopiesOfMidSizedFramesArePackedIntoChunks) {
  auto mappings = [] {
    std::string maps = read_file("/proc/self/maps");
    return static_cast<size_t>(std::count(maps.begin(), maps.end(), '\n'));
  };
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 1, frame_bytes(20000, 1))), 0);
  size_t before = mappings();
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(ovke_clone_frame(0, 0), OVKE_OK);
  EXPECT_LT(mappings() - before, 100u);
  EXPECT_EQ(list_frames().back().data, frame_bytes(20000, 1));
}

TEST_F(FramesTest, SaveKeepsModeOfReplacedFileAndUmaskForNewOnes) {
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  std::string fresh = dir_.file("fresh.pcap"), kept = dir_.file("kept.pcap");
  mode_t old_mask = umask(027);
  EXPECT_EQ(ovke_save_file(fresh.c_str()), OVKE_OK);
  umask(old_mask);
  write_file(kept, "old");
  chmod(kept.c_str(), 0604);
  EXPECT_EQ(ovke_save_file(kept.c_str()), OVKE_OK);
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST_F(FramesTest, SaveThroughSymlinkKeepsTheLink) {
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  std::string real = dir_.file("real.pcap"), link = dir_.file("link.pcap");
  write_file(real, "old");
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_EQ(ovke_save_file(link.c_str()), OVKE_OK);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(real), pcap_global_header() + pcap_record(1, 0, "one"));
}

std::vector<std::string> dir_entries(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

void limit_file_size(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim;
  lim.rlim_cur = lim.rlim_max = bytes;
  setrlimit(RLIMIT_FSIZE, &lim);
}

TEST_F(FramesTest, FailedSaveLeavesTargetAndNoTemporaryFile) {
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, frame_bytes(5000, 1))), 0);
  std::string target = dir_.file("target.pcap");
  write_file(target, "precious");
  size_t entries = dir_entries(dir_.path()).size();
  // A file-size limit fails the writes for root as well; its signal is
  // ignored so that the write reports the error instead.
  EXPECT_EXIT(
      {
        limit_file_size(1024);
        exit(ovke_save_file(target.c_str()));
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(read_file(target), "precious");
  EXPECT_EQ(dir_entries(dir_.path()).size(), entries);
}

TEST_F(FramesTest, SaveReportsOpenAndWriteErrors) {
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  std::string missing = dir_.file("no/such/dir/out.pcap");
  std::string err = stderr_of(2, [&] { EXPECT_EQ(ovke_save_file(missing.c_str()), OVKE_SAVE_FAILED); });
  EXPECT_EQ(err, "Error: cannot open output file `" + missing + "`\n");
  err = stderr_of(2, [&] { EXPECT_EQ(ovke_save_file(""), OVKE_SAVE_FAILED); });
  EXPECT_EQ(err, "Error: cannot open output file ``\n");
  EXPECT_EQ(ovke_save_file("/dev/full"), OVKE_SAVE_FAILED);
  EXPECT_EQ(ovke_save_file("/dev/null"), OVKE_OK);
}

TEST_F(FramesTest, SaveIntoReadOnlyDirectoryFailsCleanly) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  std::string target = dir_.file("target.pcap");
  write_file(target, "precious");
  chmod(dir_.path().c_str(), 0555);
  EXPECT_EQ(ovke_save_file(target.c_str()), OVKE_SAVE_FAILED);
  chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(read_file(target), "precious");
}

TEST_F(FramesTest, SaveDoesNotReplaceAWriteProtectedFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into write-protected files";
  ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, "one")), 0);
  std::string target = dir_.file("target.pcap");
  write_file(target, "precious");
  chmod(target.c_str(), 0444);
  std::string err = stderr_of(2, [&] { EXPECT_EQ(ovke_save_file(target.c_str()), OVKE_SAVE_FAILED); });
  EXPECT_EQ(err, "Error: cannot open output file `" + target + "`\n");
  EXPECT_EQ(read_file(target), "precious");
}

TEST_F(FramesTest, SavedFileReadsBackThroughLibpcap) {
  std::vector<std::string> payloads = {frame_bytes(64, 1), frame_bytes(1518, 2), "",
                                       frame_bytes(300, 3)};
  std::string file = pcap_global_header();
  for (size_t i = 0; i < payloads.size(); ++i)
    file += pcap_record(static_cast<int32_t>(1000 + i), static_cast<int32_t>(i * 1000),
                        payloads[i], 1600);
  ASSERT_EQ(load(file), 0);
  ASSERT_EQ(ovke_clone_frame(1, 0), OVKE_OK);
  payloads.insert(payloads.begin(), payloads[1]);
  std::vector<int32_t> secs = {1001, 1000, 1001, 1002, 1003};
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);

  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t *p = pcap_open_offline(out.c_str(), errbuf);
  ASSERT_NE(p, nullptr) << errbuf;
  struct pcap_pkthdr *h;
  const u_char *data;
  size_t n = 0;
  while (pcap_next_ex(p, &h, &data) == 1) {
    ASSERT_LT(n, payloads.size());
    EXPECT_EQ(h->caplen, payloads[n].size()) << n;
    EXPECT_EQ(h->len, 1600u) << n;
    EXPECT_EQ(h->ts.tv_sec, secs[n]) << n;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), h->caplen), payloads[n]) << n;
    ++n;
  }
  pcap_close(p);
  EXPECT_EQ(n, payloads.size());
}

// The store is process-wide: the cases below need a process in which
// ovke_init never ran, which the thread-safe death test style gives (it
// starts the test binary afresh for the one test).
class FreshStoreTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_F(FreshStoreTest, LoadAndSaveAssertAnInitialisedStore) {
  EXPECT_DEATH(
      {
        FILE *f = fopen("/dev/null", "r");
        ovke_load_file(&f);
      },
      "Assertion `queue_head != \\(\\(void \\*\\)0\\)' failed");
  EXPECT_DEATH(ovke_save_file("/dev/null"), "queue_head != \\(\\(void \\*\\)0\\)");
}

TEST_F(FreshStoreTest, SaveBeforeAnyLoadWritesZeroGlobalHeader) {
  // The child starts afresh and has a directory of its own: it checks the
  // file itself and answers with its status.
  EXPECT_EXIT(
      {
        TempDir dir;
        std::string out = dir.file("out.pcap");
        ovke_init();
        bool ok = ovke_save_file(out.c_str()) == 0 && read_file(out) == std::string(24, '\0');
        ovke_free();
        std::filesystem::remove_all(dir.path());
        exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
