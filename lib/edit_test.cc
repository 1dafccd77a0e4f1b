// Frame store editing: clone placement, removals, randomising, argument
// checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frames.h"
#include "test_util.h"

namespace {

using namespace orvik_test;

// Frames named by one letter: frame "B" carries 14 bytes of 'B' and the
// timestamp 'B'; a list reads back as "ABC".
std::string letters() {
  std::string s;
  frame_queue_t *q = ovke_get_frames();
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next)
    s += static_cast<char>(e->frame->payload[0]);
  return s;
}

// Walks the list backwards too, so a broken prev link or head end shows.
std::string letters_backwards() {
  std::string s;
  frame_queue_t *q = ovke_get_frames();
  for (frame_entry_t *e = q->last; e != (frame_entry_t *)q; e = e->prev)
    s.insert(s.begin(), static_cast<char>(e->frame->payload[0]));
  return s;
}

class EditTest : public testing::Test {
 protected:
  void SetUp() override { ovke_init(); }
  void TearDown() override { ovke_free(); }

  void load_letters(const std::string &names) {
    std::string file = pcap_global_header();
    for (char c : names) file += pcap_record(c, 0, std::string(14, c));
    std::string path = dir_.file("in.pcap");
    write_file(path, file);
    ovke_init();
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ovke_load_file(&f), OVKE_OK);
    fclose(f);
  }

  TempDir dir_;
};

TEST_F(EditTest, ClonePlacesTheCopyAtTo) {
  struct Case {
    int32_t from, to;
    int result;
    const char *after;
  } cases[] = {
      {0, 0, 0, "AABC"}, {0, 2, 0, "ABAC"}, {2, 1, 0, "ACBC"}, {1, 7, 0, "ABCB"},
      {1, 1, 0, "ABBC"}, {2, 3, 0, "ABCC"}, {0, 2147483647, 0, "ABCA"},
      // No source frame, or a negative number: nothing changes.
      {3, 0, 1, "ABC"},  {-1, 0, 1, "ABC"}, {0, -1, 1, "ABC"},
  };
  for (const Case &c : cases) {
    load_letters("ABC");
    EXPECT_EQ(ovke_clone_frame(c.from, c.to), c.result) << c.from << "->" << c.to;
    EXPECT_EQ(letters(), c.after) << c.from << "->" << c.to;
    EXPECT_EQ(letters_backwards(), c.after) << c.from << "->" << c.to;
  }
}

TEST_F(EditTest, CloneOfEmptyListFails) {
  EXPECT_EQ(ovke_clone_frame(0, 0), OVKE_BAD_ARGUMENT);
  EXPECT_EQ(letters(), "");
}

TEST_F(EditTest, CloneIsADeepCopy) {
  load_letters("AB");
  ASSERT_EQ(ovke_clone_frame(1, 0), OVKE_OK);
  frame_queue_t *q = ovke_get_frames();
  frame_t *copy = q->first->frame, *src = q->last->frame;
  EXPECT_NE(copy->header, src->header);
  EXPECT_NE(copy->payload, src->payload);
  EXPECT_EQ(memcmp(copy->header, src->header, sizeof *copy->header), 0);
  ASSERT_EQ(copy->payload_size, src->payload_size);
  copy->payload[0] = 'Z';
  EXPECT_EQ(letters(), "ZAB");
  // The copy goes through removal like any loaded frame.
  EXPECT_EQ(ovke_remove_frame(0), OVKE_OK);
  EXPECT_EQ(letters(), "AB");
}

TEST_F(EditTest, RemoveTakesOneFrameOrNothing) {
  struct Case {
    int32_t index;
    int result;
    const char *after;
  } cases[] = {
      {0, 0, "BC"}, {1, 0, "AC"}, {2, 0, "AB"}, {3, 0, "ABC"}, {2147483647, 0, "ABC"},
      {-1, 1, "ABC"},
  };
  for (const Case &c : cases) {
    load_letters("ABC");
    EXPECT_EQ(ovke_remove_frame(c.index), c.result) << c.index;
    EXPECT_EQ(letters(), c.after) << c.index;
    EXPECT_EQ(letters_backwards(), c.after) << c.index;
  }
}

TEST_F(EditTest, RemoveRangeIsInclusive) {
  struct Case {
    int32_t from, to;
    int result;
    const char *after;
  } cases[] = {
      {1, 1, 0, "ACDE"}, {2, 4, 0, "AB"},  {1, 100, 0, "A"}, {0, 4, 0, ""},
      {5, 9, 0, "ABCDE"}, {0, 2147483647, 0, ""}, {3, 1, 1, "ABCDE"}, {-1, 2, 1, "ABCDE"},
  };
  for (const Case &c : cases) {
    load_letters("ABCDE");
    EXPECT_EQ(ovke_remove_frame_interval(c.from, c.to), c.result) << c.from << ":" << c.to;
    EXPECT_EQ(letters(), c.after) << c.from << ":" << c.to;
    EXPECT_EQ(letters_backwards(), c.after) << c.from << ":" << c.to;
  }
}

TEST_F(EditTest, EmptiedListStaysUsable) {
  load_letters("AB");
  ASSERT_EQ(ovke_remove_frame_interval(0, 1), OVKE_OK);
  frame_queue_t *q = ovke_get_frames();
  EXPECT_EQ(q->first, (frame_entry_t *)q);
  EXPECT_EQ(q->last, (frame_entry_t *)q);
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out), pcap_global_header());
}

struct Snapshot {
  std::vector<std::string> payloads;
  std::vector<std::string> headers;
};

Snapshot snapshot() {
  Snapshot s;
  frame_queue_t *q = ovke_get_frames();
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next) {
    s.payloads.emplace_back(reinterpret_cast<char *>(e->frame->payload),
                            static_cast<size_t>(e->frame->payload_size));
    s.headers.emplace_back(reinterpret_cast<char *>(e->frame->header), 16);
  }
  return s;
}

TEST_F(EditTest, RandomizeReplacesOnlyTheAddresses) {
  std::string file = pcap_global_header();
  std::vector<std::string> payloads = {std::string(60, 'x'), std::string(60, 'x'),
                                       std::string(5, 'y'), "", std::string(12, 'z')};
  for (const std::string &p : payloads) file += pcap_record(1, 2, p, 99);
  std::string path = dir_.file("in.pcap");
  write_file(path, file);
  FILE *f = fopen(path.c_str(), "r");
  ASSERT_EQ(ovke_load_file(&f), OVKE_OK);
  fclose(f);
  Snapshot before = snapshot();

  ovke_randomize_frames(0);
  Snapshot same = snapshot();
  EXPECT_EQ(same.payloads, before.payloads);

  ovke_randomize_frames(1234567);
  Snapshot after = snapshot();
  ASSERT_EQ(after.payloads.size(), payloads.size());
  EXPECT_EQ(after.headers, before.headers);
  for (size_t i = 0; i < payloads.size(); ++i) {
    ASSERT_EQ(after.payloads[i].size(), payloads[i].size()) << i;
    size_t n = std::min<size_t>(12, payloads[i].size());
    EXPECT_EQ(after.payloads[i].substr(n), payloads[i].substr(n)) << i;
    if (n > 0) {
      EXPECT_NE(after.payloads[i].substr(0, n), payloads[i].substr(0, n)) << i;
    }
  }
  // Frames with the same bytes get addresses of their own.
  EXPECT_NE(after.payloads[0].substr(0, 12), after.payloads[1].substr(0, 12));
}

// Randomising a capture of many pages moves its frames into memory of
// their own: payload bytes and headers a caller changed before stay
// changed, a shortened frame stays short, and the save writes exactly the
// list while the input file keeps its bytes.
TEST_F(EditTest, RandomizeKeepsEarlierChangesAndSavesTheList) {
  std::string file = pcap_global_header();
  for (int i = 0; i < 3000; ++i) file += pcap_record(i, 0, frame_bytes(60 + i % 90, i));
  file += pcap_record(9, 0, "");  // empty frame at the very end of the file
  std::string path = dir_.file("in.pcap");
  write_file(path, file);
  FILE *f = fopen(path.c_str(), "r");
  ASSERT_EQ(ovke_load_file(&f), OVKE_OK);
  fclose(f);
  frame_queue_t *q = ovke_get_frames();
  int i = 0;
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next, ++i) {
    if (i == 1500) e->frame->payload[40] = '!';
    if (i == 2000) e->frame->header->ts_usec = 77;
    if (i == 2500) e->frame->payload_size = e->frame->header->incl_len = 20;
  }
  ovke_randomize_frames(42);
  Snapshot after = snapshot();
  ASSERT_EQ(after.payloads.size(), 3001u);
  EXPECT_EQ(after.payloads[1500][40], '!');
  EXPECT_EQ(after.headers[2000].substr(4, 4), std::string("\x4d\0\0\0", 4));
  EXPECT_EQ(after.payloads[2500].size(), 20u);
  EXPECT_EQ(after.payloads[2999].substr(12), frame_bytes(60 + 2999 % 90, 2999).substr(12));
  std::string expected = pcap_global_header();
  for (size_t k = 0; k < after.payloads.size(); ++k) expected += after.headers[k] + after.payloads[k];
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out), expected);
  EXPECT_EQ(read_file(path), file);
}

// A snapshot length cuts the longer frames (the length on the wire stays)
// and goes into the saved header; lengths not above 0 change nothing.
TEST_F(EditTest, SnaplenCutsLongerFramesAndTheSavedHeader) {
  load_letters("ABC");
  frame_queue_t *q = ovke_get_frames();
  q->first->frame->payload_size = q->first->frame->header->incl_len = 5;
  EXPECT_EQ(ovke_set_snaplen(0), OVKE_BAD_ARGUMENT);
  EXPECT_EQ(ovke_set_snaplen(-3), OVKE_BAD_ARGUMENT);
  ASSERT_EQ(ovke_set_snaplen(10), OVKE_OK);
  PcapGlobal g;
  g.snaplen = 10;
  std::string expected = pcap_global_header(g) + pcap_record('A', 0, std::string(5, 'A'), 14);
  for (char c : {'B', 'C'}) expected += pcap_record(c, 0, std::string(10, c), 14);
  std::string out = dir_.file("out.pcap");
  ASSERT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
  EXPECT_EQ(read_file(out), expected);
}

// In a process whose store was never initialised, clone reports that first,
// while the removals look at their arguments first.
TEST(EditUninitialisedTest, ChecksComeInTheirOrder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = ovke_get_frames() == nullptr && ovke_clone_frame(-1, -1) == OVKE_NOT_INITIALISED &&
                  ovke_clone_frame(0, 0) == OVKE_NOT_INITIALISED && ovke_remove_frame(-1) == OVKE_BAD_ARGUMENT &&
                  ovke_remove_frame(0) == OVKE_NOT_INITIALISED && ovke_remove_frame_interval(3, 1) == OVKE_BAD_ARGUMENT &&
                  ovke_remove_frame_interval(-1, 1) == OVKE_BAD_ARGUMENT &&
                  ovke_remove_frame_interval(0, 1) == OVKE_NOT_INITIALISED &&
                  ovke_set_snaplen(0) == OVKE_BAD_ARGUMENT && ovke_set_snaplen(1) == OVKE_NOT_INITIALISED;
        ovke_randomize_frames(5);  // nothing to randomise, nothing to crash on
        ovke_free();
        exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, "fast");
}

}  // namespace
