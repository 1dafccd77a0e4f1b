// The JSON and Prometheus forms of a value list built by hand: texts as the
// console shows them, 64-bit values that survive a double-based reader,
// headings, sections, escaping, and the rates of a repeated report.
#include "status_format.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

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

// What a writer puts on its stream.
template <typename Write>
std::string written(Write write) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  write(f);
  fclose(f);
  std::string text(buf, size);
  free(buf);
  return text;
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

TEST(StatusFormatTest, JsonGroupsSectionsKeepsWideValuesAndShowsHeadings) {
  List list({{"rx", "Frames", FORMAT_DEC, uint64_t{1} << 53, STATUS_VALID, ACCESS_RW},
             {"wide", "Wide", FORMAT_DEC, (uint64_t{1} << 53) + 1},
             {"hist", "Sizes \xff\"x\"", FORMAT_HEADER, 0},
             {"max", "Max", FORMAT_HEX, UINT64_MAX},
             {"na", "Ratio", FORMAT_DEC, 0, STATUS_NA, ACCESS_CNT}});
  const int32_t sections[] = {1, 1, 3, 3, 3};
  auto doc = nlohmann::json::parse(written([&](FILE *f) {
    orvik_status::write_json_values(f, ValueView{list.head(), sections, &kNames}, nullptr);
  }));

  ASSERT_EQ(2u, doc["sections"].size());
  const auto &mac = doc["sections"][0];
  const auto &clock = doc["sections"][1];
  EXPECT_EQ(1, mac["number"]);
  EXPECT_EQ("MAC", mac["name"]);
  EXPECT_EQ(3, clock["number"]);
  EXPECT_EQ("Clock", clock["name"]);

  // Up to 2^53 a number, above it the decimal digits as a string.
  EXPECT_TRUE(mac["items"][0]["value"].is_number_unsigned());
  EXPECT_EQ(uint64_t{1} << 53, mac["items"][0]["value"].get<uint64_t>());
  EXPECT_EQ("9007199254740993", mac["items"][1]["value"]);
  EXPECT_EQ("18446744073709551615", clock["items"][1]["value"]);
  EXPECT_EQ(true, mac["items"][0]["writable"]);
  EXPECT_EQ("RW", mac["items"][0]["access"]);

  // A heading has nothing but its text (bytes that are not UTF-8 replaced).
  EXPECT_EQ((nlohmann::json{{"heading", "Sizes \xEF\xBF\xBD\"x\""}}), clock["items"][0]);
  const auto &na = clock["items"][2];
  EXPECT_EQ(false, na["valid"]);
  EXPECT_EQ("N/A", na["text"]);
  EXPECT_EQ(3, na["section"]);
  EXPECT_EQ("CNT", na["access"]);
  EXPECT_EQ(false, na["writable"]);
}

TEST(StatusFormatTest, LargeDocumentsArriveWhole) {
  std::vector<Entry> entries(5000, Entry{"rx", "Frames", FORMAT_DEC, 0});
  for (size_t i = 0; i < entries.size(); ++i) entries[i].value = i;
  List list(entries);
  std::vector<int32_t> sections(entries.size(), 2);
  ValueView view{list.head(), sections.data(), &kNames};
  auto doc = nlohmann::json::parse(
      written([&](FILE *f) { orvik_status::write_json_values(f, view, nullptr); }));
  ASSERT_EQ(1u, doc["sections"].size());
  ASSERT_EQ(5000u, doc["sections"][0]["items"].size());
  EXPECT_EQ(4999, doc["sections"][0]["items"][4999]["value"]);
  std::string text = written([&](FILE *f) { orvik_status::write_prometheus(f, view); });
  EXPECT_EQ(5000 + 5, std::count(text.begin(), text.end(), '\n'));
  EXPECT_NE(std::string::npos, text.find("format=\"DEC\"} 4999\n"));
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

TEST(StatusFormatTest, InvalidUtf8IsReplaced) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
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
