// What the end-to-end run with Python, jq and promtool cannot reach
// easily: documents larger than one output piece, bytes that are not
// UTF-8, and the rates of a repeated report.
#include "status_format.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "test_util.h"

namespace {

using orvik_status::ValueView;

struct Entry {
  const char *name;
  const char *label;
  uint32_t format;
  uint64_t value;
  int32_t status = STATUS_VALID;
  uint32_t access = ACCESS_RO;
};

// A value list owned by the test, as the library would hand it out.
class List {
 public:
  explicit List(const std::vector<Entry> &entries) {
    value_list_t **tail = &head_;
    for (const Entry &e : entries) {
      value_t *v = new_value_t();
      v->name = strdup(e.name);
      v->display = strdup(e.label);
      v->format = e.format;
      v->value = e.value;
      v->status = e.status;
      v->access = e.access;
      *tail = new_value_list_t();
      (*tail)->data = v;
      tail = &(*tail)->next;
    }
  }
  ~List() { free_ovkc_value_list(&head_); }
  const value_list_t *head() const { return head_; }

 private:
  value_list_t *head_ = nullptr;
};

const std::vector<std::string> kNames = {"MAC", "PHY", "Clock"};

// Occurrences of needle in text.
int count(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// What a writer puts on its stream.
template <typename Write>
std::string written(Write write) {
  orvik_test::MemStream stream;
  write(stream.out());
  return stream.text();
}

TEST(StatusFormatTest, TextsAreThoseOfTheConsoleReport) {
  const struct {
    Entry entry;
    const char *text;
    bool valid;
  } cases[] = {
      {{"h", "h", FORMAT_HEX, 0x2a}, "0x2A", true},
      {{"d", "d", FORMAT_DEC, 42}, "42", true},
      {{"b", "b", FORMAT_BIN, 5}, "0b101", true},
      {{"s", "s", FORMAT_SWITCH, 2}, "ON", true},
      {{"i", "i", FORMAT_INDICATE, 0}, "OFF", true},
      {{"t", "t", FORMAT_TIMESTAMP, uint64_t{3} << 32 | 5}, "3s000000005ns", true},
      {{"e", "e", FORMAT_ENUM, 7}, "7", true},
      {{"na", "na", FORMAT_DEC, 9, STATUS_NA}, "N/A", false},
      {{"max", "max", FORMAT_HEX, UINT64_MAX, STATUS_NA}, "MAX", true},
      {{"undef", "undef", FORMAT_DEC, 3, STATUS_UNDEFINED}, "3", true},
  };
  for (const auto &c : cases) {
    List list({c.entry});
    const value_t &v = *list.head()->data;
    EXPECT_EQ(c.text, orvik_status::value_text(v)) << c.entry.name;
    EXPECT_EQ(c.valid, orvik_status::value_valid(v)) << c.entry.name;
  }
}

// Sections in list order, numbers up to 2^53 and the decimal digits as a
// string above, access and writability, and headings with their text only.
TEST(StatusFormatTest, JsonGroupsSectionsKeepsWideValuesAndShowsHeadings) {
  List list({{"rx", "Frames", FORMAT_DEC, uint64_t{1} << 53, STATUS_VALID, ACCESS_RW},
             {"wide", "Wide", FORMAT_DEC, (uint64_t{1} << 53) + 1},
             {"hist", "Sizes \xff\"x\"", FORMAT_HEADER, 0},
             {"max", "Max", FORMAT_HEX, UINT64_MAX},
             {"na", "Ratio", FORMAT_DEC, 0, STATUS_NA, ACCESS_CNT}});
  const int32_t sections[] = {1, 1, 3, 3, 3};
  std::string doc = written([&](FILE *f) {
    orvik_status::write_json_values(f, ValueView{list.head(), sections, &kNames}, nullptr);
  });
  for (const char *part : {
           "\"sections\":[{\"number\":1,\"name\":\"MAC\",\"items\":[{\"name\":\"rx\",",
           "\"section\":1,\"format\":\"DEC\",\"access\":\"RW\",\"writable\":true,"
           "\"valid\":true,\"value\":9007199254740992,",
           "\"value\":\"9007199254740993\",",
           "]},{\"number\":3,\"name\":\"Clock\",\"items\":[{\"heading\":\"Sizes \xEF\xBF\xBD\\\"x\\\"\"},",
           "\"value\":\"18446744073709551615\",",
           "\"section\":3,\"format\":\"DEC\",\"access\":\"CNT\",\"writable\":false,"
           "\"valid\":false,\"value\":0,\"text\":\"N/A\"}]}]}\n",
       })
    EXPECT_NE(std::string::npos, doc.find(part)) << part << "\nin " << doc;
  EXPECT_EQ(2, count(doc, "\"number\":"));
}

TEST(StatusFormatTest, PrometheusSamplesOnlyValidItemsWithEscapedLabels) {
  List list({{"rx", "Frames \"in\"\\\nall", FORMAT_DEC, 7},
             {"hist", "Sizes", FORMAT_HEADER, 0},
             {"na", "Ratio", FORMAT_DEC, 0, STATUS_NA},
             {"max", "Max", FORMAT_HEX, UINT64_MAX}});
  const int32_t sections[] = {2, 2, 2, 2};
  std::string text = written([&](FILE *f) {
    orvik_status::write_prometheus(f, ValueView{list.head(), sections, &kNames});
  });
  EXPECT_NE(std::string::npos,
            text.find("orvik_item_value{section=\"2\",section_name=\"PHY\",item=\"rx\","
                      "label=\"Frames \\\"in\\\"\\\\\\nall\",format=\"DEC\"} 7\n"));
  EXPECT_NE(std::string::npos, text.find("item=\"max\",label=\"Max\",format=\"HEX\"} "
                                         "18446744073709551615\n"));
  EXPECT_EQ(std::string::npos, text.find("item=\"na\""));
  EXPECT_EQ(std::string::npos, text.find("Sizes"));
  EXPECT_NE(std::string::npos, text.find("\norvik_card_info{firmware_version=\""));
  EXPECT_EQ("# a\\\\b\\nc \"d\"\n",
            written([](FILE *f) { orvik_status::write_prometheus_error(f, "a\\b\nc \"d\""); }));
}

TEST(StatusFormatTest, LargeDocumentsArriveWhole) {
  std::vector<Entry> entries(5000, Entry{"rx", "Frames", FORMAT_DEC, 0});
  for (size_t i = 0; i < entries.size(); ++i) entries[i].value = i;
  List list(entries);
  std::vector<int32_t> sections(entries.size(), 2);
  ValueView view{list.head(), sections.data(), &kNames};
  std::string doc =
      written([&](FILE *f) { orvik_status::write_json_values(f, view, nullptr); });
  EXPECT_EQ(1, count(doc, "\"number\":2,"));  // one section
  EXPECT_EQ(5000, count(doc, "\"name\":\"rx\""));
  EXPECT_NE(std::string::npos, doc.find("\"value\":4999,"));
  EXPECT_EQ("]}]}\n", doc.substr(doc.size() - 5));
  std::string text = written([&](FILE *f) { orvik_status::write_prometheus(f, view); });
  EXPECT_EQ(5000 + 5, std::count(text.begin(), text.end(), '\n'));
  EXPECT_NE(std::string::npos, text.find("format=\"DEC\"} 4999\n"));
}

TEST(StatusFormatTest, LabelsAreEscapedAsJsonStrings) {
  const struct {
    const char *label, *json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\tnl\ncr\r", "\"tab\\tnl\\ncr\\r\""},
      {"\x01\x1F\x7F", "\"\\u0001\\u001f\x7F\""},
      {"caf\xC3\xA9\xFF", "\"caf\xC3\xA9\xEF\xBF\xBD\""},
  };
  for (const auto &c : cases) {
    List list({{"rx", c.label, FORMAT_DEC, 1}});
    std::vector<int32_t> sections(1, 1);
    ValueView view{list.head(), sections.data(), &kNames};
    std::string doc =
        written([&](FILE *f) { orvik_status::write_json_values(f, view, nullptr); });
    EXPECT_NE(std::string::npos, doc.find("\"label\":" + std::string(c.json) + ",")) << doc;
  }
}

TEST(StatusFormatTest, InvalidUtf8IsReplaced) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"\xC3\xA9t\xF0\x9F\x98\x80", "\xC3\xA9t\xF0\x9F\x98\x80"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong "/"
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.out, orvik_status::valid_utf8(c.in)) << c.in;
}

TEST(StatusFormatTest, RatesCompareCountingItemsOfTwoRounds) {
  List first({{"rx", "rx", FORMAT_DEC, 100}, {"sw", "sw", FORMAT_SWITCH, 0},
              {"down", "down", FORMAT_HEX, 50}, {"gone", "gone", FORMAT_HIST, 5}});
  List second({{"rx", "rx", FORMAT_DEC, 300}, {"sw", "sw", FORMAT_SWITCH, 1},
               {"down", "down", FORMAT_HEX, 10}, {"gone", "gone", FORMAT_HIST, 0, STATUS_NA}});
  orvik_status::Rates rates;
  double r = 0;
  rates.update(first.head());
  EXPECT_FALSE(rates.rate(*first.head()->data, &r));  // no round before
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  rates.update(second.head());
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const value_list_t *n = second.head();
  ASSERT_TRUE(rates.rate(*n->data, &r));
  EXPECT_LE(r, 200 / 0.05);
  EXPECT_GE(r, 200 / (elapsed + 0.01));
  EXPECT_FALSE(rates.rate(*n->next->data, &r));  // a switch does not count
  ASSERT_TRUE(rates.rate(*n->next->next->data, &r));
  EXPECT_LT(r, 0);  // cleared register: a negative change, not a wrap
  EXPECT_FALSE(rates.rate(*n->next->next->next->data, &r));  // not valid now
}

}  // namespace
