// Equation solver over hand-built value lists.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "stat_test_fixture.h"

namespace orvik_test {
namespace {

class SolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_verbose_ = verbose;
    verbose = -1;
  }
  void TearDown() override {
    ovkc_free_datalist();
    verbose = saved_verbose_;
  }

  // Appends a read entry.
  value_t *value(const char *name, uint64_t v) {
    value_t *e = new_value_t();
    e->name = strdup(name);
    e->value = v;
    e->status = STATUS_VALID;
    e->access = ACCESS_RO;
    append(e);
    return e;
  }

  // Appends an equation entry.
  value_t *equation(const char *name, const char *eq) {
    value_t *e = new_value_t();
    e->name = strdup(name);
    e->access = ACCESS_CNT;
    e->params = new_param();
    e->params->text = strdup(eq);
    append(e);
    return e;
  }

  // Solves eq over the entries rx_ok = 10 and rx_err = 3.
  value_t solve_example(const char *eq) {
    value("rx_ok", 10);
    value("rx_err", 3);
    value_t *e = equation("eq", eq);
    ovkc_solver();
    value_t copy = *e;
    ovkc_free_datalist();
    tail_ = &orvik::global_value_list;
    return copy;
  }

 private:
  void append(value_t *e) {
    value_list_t *node = new_value_list_t();
    node->data = e;
    *tail_ = node;
    tail_ = &node->next;
  }

  value_list_t **tail_ = &orvik::global_value_list;
  int saved_verbose_ = -1;
};

TEST_F(SolverTest, ComputesPostfixEquations) {
  struct Case {
    const char *eq;
    uint64_t value;
    int32_t status;
  } cases[] = {
      {"rx_ok,rx_err,+", 13, STATUS_VALID},
      {"rx_ok,rx_err,-", 7, STATUS_VALID},
      {"rx_err,rx_ok,-", 0xFFFFFFFFFFFFFFF9u, STATUS_VALID},  // wraps
      {"rx_ok,4,<", 8, STATUS_VALID},
      {"rx_ok,<", 20, STATUS_VALID},
      {"rx_ok,>", 5, STATUS_VALID},
      {"rx_ok,0x10,*", 160, STATUS_VALID},
      {"rx_ok,rx_err,/", 3, STATUS_VALID},
      {"rx_ok,0,/", 0, STATUS_NA},
      {"rx_ok,0,/,7", 7, STATUS_NA},  // the division still marks it
      {"rx_ok,+", 10, STATUS_VALID},
      {"<", 0, STATUS_NA},
      {"rx_ok_total,1,+", 11, STATUS_VALID},  // rx_ok is a prefix of the token
      {"010,5abc,+", 13, STATUS_VALID},       // octal; trailing characters ignored
      {"rx_ok,a,x,?", 10, STATUS_VALID},      // single characters are ignored
      {"-5", 0, STATUS_NA},                   // a name, and not in the list
      {"1,2,3,4,5,6", 5, STATUS_VALID},       // the sixth push is dropped
      {"", 0, STATUS_NA},
  };
  for (const Case &c : cases) {
    value_t r = solve_example(c.eq);
    EXPECT_EQ(c.value, r.value) << c.eq;
    EXPECT_EQ(c.status, r.status) << c.eq;
    EXPECT_EQ(static_cast<uint32_t>(ACCESS_NONE), r.access) << c.eq;
  }
}

TEST_F(SolverTest, SplitsTokensAtCommasAsTheCardToolsDo) {
  struct Case {
    const char *eq;
    uint64_t value;
  } cases[] = {
      {"rx_ok,rx_err,+,", 13},     // a trailing comma adds no token
      {",rx_ok", 10},              // a leading comma gives one empty token
      {"rx_ok,,rx_err,+", 10},     // ",rx_err" is one token: no such name
      {"rx_ok,,,rx_err,+", 13},    // "," alone is an ignored single character
      {"rx_ok,rx_err,+,,", 13},
      {"rx_ok,,1,+", 10},          // ",1" is a name token, found nowhere
  };
  for (const Case &c : cases) EXPECT_EQ(c.value, solve_example(c.eq).value) << c.eq;
}

TEST_F(SolverTest, EquationsSeeEarlierResultsAndZeroForLaterOnes) {
  value("base", 4);
  value_t *early = equation("early", "late,base,+");
  value_t *late = equation("late", "base,base,*");
  value_t *after = equation("after", "late,1,+");
  value_t *self = equation("self", "self,2,+");
  ovkc_solver();
  EXPECT_EQ(4u, early->value);  // late was not computed yet
  EXPECT_EQ(16u, late->value);
  EXPECT_EQ(17u, after->value);
  EXPECT_EQ(2u, self->value);
  EXPECT_EQ(STATUS_VALID, self->status);

  late->value = 99;  // a second run computes nothing again
  ovkc_solver();
  EXPECT_EQ(17u, after->value);
  EXPECT_EQ(99u, late->value);
}

TEST_F(SolverTest, ExactNameWinsOverAnEarlierPrefix) {
  value("rx", 1);
  value("rx_ok", 10);
  value("rx_ok_total", 100);
  value("rx_ok~2", 20);
  value_t *exact = equation("e1", "rx_ok_total,rx_ok~2,+");
  value_t *prefix = equation("e2", "rx_ok_x");       // rx and rx_ok begin it; rx is first
  value_t *missing = equation("e3", "tx_ok,rx_ok,+");  // tx_ok pushes nothing
  ovkc_solver();
  EXPECT_EQ(120u, exact->value);
  EXPECT_EQ(1u, prefix->value);
  EXPECT_EQ(10u, missing->value);
}

TEST_F(SolverTest, FirstOfEqualNamesAndEarliestPrefixWin) {
  value("tx", 1);
  value("tx", 2);
  value("tx_a", 5);
  value_t *e = equation("eq", "tx,tx_b,+,tx_ab,+");  // 1 + 1 (prefix tx) + 1 (tx before tx_a)
  value_t *later = equation("eq2", "tx_a,tx_ab,+");  // exact tx_a, then prefix tx
  ovkc_solver();
  EXPECT_EQ(3u, e->value);
  EXPECT_EQ(6u, later->value);
}

TEST_F(SolverTest, VeryLongUnknownNameIsHarmless) {
  value("a1", 1);
  std::string eq = "a1," + std::string(200000, 'z') + ",+";
  value_t *e = equation("eq", eq.c_str());
  ovkc_solver();
  EXPECT_EQ(1u, e->value);
  EXPECT_EQ(eq, e->params->text);  // the equation text is left as it was
}

TEST_F(SolverTest, EntryWithEmptyNameIsAPrefixOfEveryToken) {
  value("", 42);
  value("rx_ok", 10);
  value_t *e = equation("eq", "rx_ok_x,rx_ok,+");
  ovkc_solver();
  EXPECT_EQ(52u, e->value);
}

TEST_F(SolverTest, EquationWithoutParamIsMarkedDone) {
  value_t *e = equation("eq", "1");
  free_param(&e->params);
  verbose = 2;
  testing::internal::CaptureStderr();
  ovkc_solver();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("param is null\n"));
  EXPECT_EQ(0u, e->value);
  EXPECT_EQ(STATUS_NA, e->status);
  EXPECT_EQ(static_cast<uint32_t>(ACCESS_NONE), e->access);
}

TEST_F(SolverTest, ReportsEachStepAtItsLevel) {
  value("rx_ok", 10);
  equation("eq", "rx_ok,nope,0,/");
  verbose = 2;
  testing::internal::CaptureStderr();
  ovkc_solver();
  EXPECT_EQ(
      "initialization of Stack computer - stack size: 5\n"
      "equation: rx_ok,nope,0,/\n"
      "load\n"
      "find val: rx_ok\n"
      "load\n"
      "find val: nope\n"
      "Name 'nope' was not found in the list\n"
      "divide\n"
      "Dividing by 0\n",
      testing::internal::GetCapturedStderr());
}

TEST_F(SolverTest, EmptyListIsFine) {
  ovkc_solver();
  EXPECT_EQ(nullptr, ovkc_get_datalist());
}

}  // namespace
}  // namespace orvik_test
