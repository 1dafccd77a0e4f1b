// The number readers against the inputs the programs have always taken or
// refused, and the form of the diagnostics.
#include "cli.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>

namespace {

using orvik_cli::Range;

TEST(CliTest, ParseUnsigned) {
  constexpr uint64_t kKeep = 77;
  struct Case {
    const char *text;
    bool hex, clamp;
    uint64_t max;
    bool ok;
    uint64_t want;
    int why;  // errno after a failure
  } cases[] = {
      {"4294967295", true, false, UINT32_MAX, true, UINT32_MAX, 0},
      {"4294967296", true, false, UINT32_MAX, false, kKeep, ERANGE},
      {"0xffffFFFF", true, false, UINT32_MAX, true, UINT32_MAX, 0},
      {"0x10", false, false, 100, false, kKeep, EINVAL},  // decimal only
      {"0x", true, false, 100, false, kKeep, EINVAL},
      {"0x0x10", true, false, 100, false, kKeep, EINVAL},  // strtoull would take it
      {"", false, false, 100, false, kKeep, EINVAL},
      {nullptr, false, false, 100, false, kKeep, EINVAL},
      {" 1", false, false, 100, false, kKeep, EINVAL},
      {"-1", false, false, 100, false, kKeep, EINVAL},
      {"3000000000", false, true, INT_MAX, true, INT_MAX, 0},
      {"99999999999999999999999", false, true, INT_MAX, true, INT_MAX, 0},
      {"99999999999999999999999x", false, true, INT_MAX, false, kKeep, ERANGE},
  };
  for (const Case &c : cases) {
    uint64_t v = kKeep;
    errno = 0;
    bool ok = orvik_cli::parse_unsigned(c.text, c.hex, c.max, c.clamp, &v);
    const char *shown = c.text ? c.text : "(null)";
    EXPECT_EQ(ok, c.ok) << shown;
    EXPECT_EQ(v, c.want) << shown;
    if (!c.ok) {
      EXPECT_EQ(errno, c.why) << shown;
    }
  }
}

TEST(CliTest, ParseCNumber) {
  constexpr uint64_t kKeep = 77;
  struct Case {
    const char *text;
    Range range;
    bool space_after, ok;
    uint64_t want;
  } cases[] = {
      {"-1", Range::kSigned, false, true, UINT64_MAX},
      {"0x10", Range::kSigned, false, true, 16},
      {"+5", Range::kBits, false, true, 5},
      {"  7", Range::kSigned, false, true, 7},
      {"7 ", Range::kSigned, false, false, kKeep},
      {" 7 \t", Range::kBits, true, true, 7},
      {"0xFFFFFFFFFFFFFFFF", Range::kSigned, false, false, kKeep},
      {"0xFFFFFFFFFFFFFFFF", Range::kBits, false, true, UINT64_MAX},
      {"0x10000000000000000", Range::kBits, false, false, kKeep},
      {"-0x8000000000000001", Range::kBits, false, false, kKeep},
      {"08", Range::kSigned, false, false, kKeep},
  };
  for (const Case &c : cases) {
    uint64_t v = kKeep;
    EXPECT_EQ(orvik_cli::parse_c_number(c.text, c.range, c.space_after, &v), c.ok) << c.text;
    EXPECT_EQ(v, c.want) << c.text;
  }
}

TEST(CliTest, ParsePositive) {
  struct Case {
    const char *text;
    double max;
    bool ok;
  } cases[] = {
      {"0.5", 10, true},   {"10", 10, true},     {"10.01", 10, false}, {"0", 10, false},
      {"-1", 10, false},   {"1s", 10, false},    {"", 10, false},      {"inf", HUGE_VAL, false},
      {"nan", 10, false},  {"1e-400", 10, false}, {"1e300", HUGE_VAL, true},
  };
  for (const Case &c : cases) {
    double v = -1;
    EXPECT_EQ(orvik_cli::parse_positive(c.text, c.max, &v), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(v, -1) << c.text;
    }
  }
}

// The leading-number readers keep sscanf's leniency: options given this
// way for years must go on working.
TEST(CliTest, ScanReaders) {
  int i = 0;
  EXPECT_TRUE(orvik_cli::scan_int("0xFFFFFFFF", &i));  // a full mask
  EXPECT_EQ(static_cast<uint32_t>(i), UINT32_MAX);
  EXPECT_FALSE(orvik_cli::scan_int("x1", &i));
  long long a = 0, b = 0;
  EXPECT_TRUE(orvik_cli::scan_pair("3:-0x2", &a, &b));
  EXPECT_EQ(b, -2);
  EXPECT_FALSE(orvik_cli::scan_pair("3-4", &a, &b));
  long d = 0;
  EXPECT_TRUE(orvik_cli::scan_decimal("010z", &d));
  EXPECT_EQ(d, 10);
  int sec = 0, nsec = 0;
  EXPECT_TRUE(orvik_cli::scan_time("2s500", &sec, &nsec));
  EXPECT_EQ(nsec, 500);
  EXPECT_FALSE(orvik_cli::scan_time("2 s500ns", &sec, &nsec));

  struct Speed {
    const char *text;
    bool ok;
    float want;
  } speeds[] = {{"1.5k", true, 1500.0f}, {"2M", true, 2e6f}, {"3g", true, 3e9f},
                {"7", true, 7.0f},       {"7x", true, 7.0f}, {"G", false, 0.0f}};
  for (const Speed &s : speeds) {
    float v = 0;
    EXPECT_EQ(orvik_cli::scan_scaled(s.text, &v), s.ok) << s.text;
    EXPECT_FLOAT_EQ(v, s.want) << s.text;
  }
}

TEST(CliTest, DiagnosticsNameTheProgram) {
  testing::internal::CaptureStderr();
  orvik_cli::warning("value %d", 4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cli_test: value 4\n");
  EXPECT_EXIT(orvik_cli::fatal(3, "bad `%s'", "x"), testing::ExitedWithCode(3),
              "^cli_test: bad `x'\n$");
  errno = ERANGE;
  EXPECT_EXIT(orvik_cli::fatal_errno(1, "parsing"), testing::ExitedWithCode(1),
              "^cli_test: parsing: Numerical result out of range\n$");
}

}  // namespace
