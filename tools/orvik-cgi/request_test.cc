#include "request.h"

#include <gtest/gtest.h>

namespace {

using orvik_cgi::Page;
using orvik_cgi::parse_request;
using orvik_cgi::ValueKind;

TEST(RequestTest, PageAndSectionSelection) {
  const struct {
    const char *query;
    Page page;
    int32_t section;
  } cases[] = {
      {nullptr, Page::kSection, 0},
      {"", Page::kList, 0},
      {"s=3", Page::kSection, 3},
      {"s=0", Page::kSection, 0},
      {"s=12&x=1", Page::kSection, 12},
      {"s=abc", Page::kList, 0},
      {"s=", Page::kList, 0},
      {"x=1&s=3", Page::kList, 0},
      {"S=3", Page::kList, 0},
      {"val=3", Page::kList, 0},
      {"s=99999999999999999999", Page::kSection, INT32_MAX},
  };
  for (const auto &c : cases) {
    auto req = parse_request(c.query);
    const char *shown = c.query != nullptr ? c.query : "(unset)";
    EXPECT_EQ(c.page, req.page) << shown;
    EXPECT_EQ(c.section, req.section) << shown;
  }
  EXPECT_FALSE(parse_request("val=3").change);
}

TEST(RequestTest, ChangeRequestsDecodeNameAndValue) {
  const struct {
    const char *query;
    std::string item;
    bool usable;
    ValueKind kind;
    uint64_t value;
  } cases[] = {
      {"S=rx_ok", "rx_ok", true, ValueKind::kNone, 0},
      {"S=rx_ok&val=0x1F", "rx_ok", true, ValueKind::kNumber, 31},
      {"S=rx_ok&val=31", "rx_ok", true, ValueKind::kNumber, 31},
      {"S=rx_ok&val=010", "rx_ok", true, ValueKind::kNumber, 8},
      {"S=rx_ok&val=-1", "rx_ok", true, ValueKind::kNumber, UINT64_MAX},
      {"S=rx_ok&val=0xFFFFFFFFFFFFFFFF", "rx_ok", true, ValueKind::kNumber, UINT64_MAX},
      {"s=3&S=rx_ok%7E2&val=%2B5", "rx_ok~2", true, ValueKind::kNumber, 5},
      {"S=a+b%zz%4&val=+7+", "a b%zz%4", true, ValueKind::kNumber, 7},
      {"S=rx&val=abc", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx&val=", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx&val=12x", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx&val=0x", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx&val=99999999999999999999", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx&val=1%00", "rx", true, ValueKind::kInvalid, 0},
      {"S=rx%00_ok", std::string("rx\0_ok", 6), false, ValueKind::kNone, 0},
      {"S=", "", true, ValueKind::kNone, 0},
  };
  for (const auto &c : cases) {
    auto req = parse_request(c.query);
    EXPECT_TRUE(req.change) << c.query;
    EXPECT_EQ(c.item, req.item) << c.query;
    EXPECT_EQ(c.usable, req.item_usable) << c.query;
    EXPECT_EQ(c.kind, req.value_kind) << c.query;
    if (c.kind == ValueKind::kNumber) {
      EXPECT_EQ(c.value, req.value) << c.query;
    }
  }
}

}  // namespace

namespace {

using orvik_cgi::Format;

TEST(RequestTest, FormatCountsOnlyAsAWholeKey) {
  const struct {
    const char *query;
    Format format;
  } cases[] = {
      {nullptr, Format::kHtml},
      {"s=2&format=json", Format::kJson},
      {"format=prometheus&s=2", Format::kPrometheus},
      {"format=%6Ason", Format::kJson},
      {"s=1&xformat=json", Format::kHtml},
      {"S=a_format=json", Format::kHtml},
      {"xformat=json&format=prometheus", Format::kPrometheus},
      {"format=JSON", Format::kUnknown},
      {"format=", Format::kUnknown},
  };
  for (const auto &c : cases) {
    const char *shown = c.query != nullptr ? c.query : "(unset)";
    EXPECT_EQ(c.format, parse_request(c.query).format) << shown;
  }
  // The section still counts only at the very start.
  EXPECT_EQ(Page::kList, parse_request("format=json&s=2").page);
}

}  // namespace
