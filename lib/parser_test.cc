// Register description model: constructors, copies, list and text
// operations, release.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "parser.h"
#include "tessel.h"
#include "test_util.h"

namespace {

module_reg_t *make_reg(const char *name, int32_t bus = BUS_VQBUS, uint32_t size = SIZE_W) {
  module_reg_t *r = new_module_reg_t();
  r->module_name = strdup("MAC");
  r->name = name ? strdup(name) : nullptr;
  r->display = strdup("Label");
  r->bus = bus;
  r->size = size;
  return r;
}

module_reg_list_t *make_list(std::initializer_list<const char *> names) {
  module_reg_list_t *head = nullptr, **link = &head;
  for (const char *n : names) {
    *link = new_module_reg_list_t();
    (*link)->data = make_reg(n);
    link = &(*link)->next;
  }
  return head;
}

std::string names_of(const module_reg_list_t *list) {
  std::string out;
  for (; list; list = list->next) out += std::string(list->data->name) + " ";
  return out;
}

TEST(ModelTest, NewValueIsUndefinedUntilCreated) {
  value_t *v = new_value_t();
  EXPECT_EQ(v->status, STATUS_UNDEFINED);
  EXPECT_EQ(v->value, UINT64_MAX);
  free_value(&v);
  EXPECT_EQ(v, nullptr);
  EXPECT_STREQ(reg_type_str(2), "UNKNOWN");
}

TEST(ModelTest, IndexStringAppendsSeparatorAndNumber) {
  struct {
    const char *text;
    int32_t number;
    char sep;
    const char *want;
  } cases[] = {{"rx", 2, '~', "rx~2"},     {"rx", 12, ' ', "rx 12"}, {"rx", -3, '-', "rx--3"},
               {"", 1, '-', "-1"},         {"cnt-1", 2, '~', "cnt-1~2"},
               {"x", INT32_MIN, ' ', "x -2147483648"}};
  for (const auto &c : cases) {
    char *text = strdup(c.text);
    index_string(&text, c.number, c.sep);
    EXPECT_STREQ(text, c.want) << c.text << c.sep << c.number;
    free(text);
  }
  char *absent = nullptr;
  index_string(&absent, 5, ' ');
  EXPECT_STREQ(absent, " 5");
  free(absent);
}

TEST(ModelTest, CopyParamIsDeepAndFillsAbsentText) {
  EXPECT_EQ(copy_param(nullptr), nullptr);
  param_t *a = new_param();
  a->value = -7;
  a->showtext = 0;
  a->uimg = strdup("/images/indicate_up.gif");
  a->text = strdup("up");
  a->next = new_param();  // no text, no image
  a->next->value = 3;

  param_t *c = copy_param(a);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->value, -7);
  EXPECT_EQ(c->showtext, 0);
  EXPECT_STREQ(c->text, "up");
  EXPECT_NE(c->text, a->text);
  EXPECT_STREQ(c->uimg, "/images/indicate_up.gif");
  EXPECT_NE(c->uimg, a->uimg);
  ASSERT_NE(c->next, nullptr);
  EXPECT_EQ(c->next->value, 3);
  EXPECT_STREQ(c->next->text, "");
  EXPECT_EQ(c->next->uimg, nullptr);
  EXPECT_EQ(c->next->showtext, 1);
  EXPECT_EQ(c->next->next, nullptr);
  free_param(&a);
  free_param(&c);
  EXPECT_EQ(c, nullptr);
}

TEST(ModelTest, CopyRegSharesNothing) {
  module_reg_t *r = make_reg("cnt", BUS_MDIO, SIZE_S);
  r->offset = 0x1C;
  r->bitmask = 0xF0;
  r->repeat = 3;
  r->incoffset = -1;
  r->params = new_param();
  r->params->text = strdup("eq");
  module_reg_t *c = copy_reg(r);
  EXPECT_EQ(c->bus, BUS_MDIO);
  EXPECT_EQ(c->size, static_cast<uint32_t>(SIZE_S));
  EXPECT_EQ(c->offset, 0x1Cu);
  EXPECT_EQ(c->bitmask, 0xF0u);
  EXPECT_EQ(c->repeat, 3);
  EXPECT_EQ(c->incoffset, -1);
  EXPECT_STREQ(c->name, "cnt");
  EXPECT_NE(c->name, r->name);
  EXPECT_NE(c->module_name, r->module_name);
  EXPECT_NE(c->display, r->display);
  ASSERT_NE(c->params, nullptr);
  EXPECT_NE(c->params, r->params);
  free_module_reg(&r);
  EXPECT_STREQ(c->params->text, "eq");  // still valid after the original is gone
  free_module_reg(&c);
}

TEST(ModelTest, CreateValueCopiesItemAndIsValid) {
  module_reg_t *r = make_reg(nullptr);
  r->access = ACCESS_CNT;
  r->format = FORMAT_ENUM;
  r->params = new_param();
  r->params->text = strdup("a,b,+");
  value_t *v = create_value(r, 0xFFFFFFFFFULL);
  EXPECT_STREQ(v->name, "");  // an item without name
  EXPECT_STREQ(v->display, "Label");
  EXPECT_EQ(v->status, STATUS_VALID);
  EXPECT_EQ(v->value, 0xFFFFFFFFFULL);
  EXPECT_EQ(v->access, static_cast<uint32_t>(ACCESS_CNT));
  EXPECT_EQ(v->format, static_cast<uint32_t>(FORMAT_ENUM));
  ASSERT_NE(v->params, nullptr);
  EXPECT_NE(v->params, r->params);
  free_module_reg(&r);

  value_list_t *list = new_value_list_t();
  list->data = v;
  list->next = new_value_list_t();
  list->next->data = new_value_t();
  free_ovkc_value_list(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(ModelTest, BusIntervalPerBusAndSize) {
  struct {
    int32_t bus;
    uint32_t size;
    int64_t count;
    uint64_t want;
  } cases[] = {{BUS_VQBUS, SIZE_W, 3, 12}, {BUS_VQBUS, SIZE_S, 3, 12}, {BUS_VQBUS, SIZE_D, 3, 24},
               {BUS_MDIO, SIZE_W, 3, 3},   {BUS_MDIO, SIZE_S, 3, 3},   {BUS_MDIO, SIZE_D, 3, 6},
               {BUS_VQBUS, SIZE_D, 0, 0},  {BUS_VQBUS, SIZE_W, -1, static_cast<uint64_t>(-4)}};
  for (const auto &c : cases) {
    module_reg_list_t node = {make_reg("x", c.bus, c.size), nullptr};
    EXPECT_EQ(get_bus_interval(&node, c.count), c.want)
        << "bus " << c.bus << " size " << c.size << " count " << c.count;
    free_module_reg(&node.data);
  }
  module_reg_list_t odd = {make_reg("x", 2), nullptr};
  orvik_test::ScopedVerbose v(2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_bus_interval(&odd, 3), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown BUS type in get_bus_interval\n");
  free_module_reg(&odd.data);
}

TEST(ModelTest, ConcatModuleListCasesAndMessages) {
  struct {
    std::initializer_list<const char *> first, second;
    const char *want_names;
    const char *want_msgs;
  } cases[] = {
      {{}, {}, "", "No previous lists\nNew list is also empty\n"},
      {{}, {"a"}, "a ", "No previous lists\n"},
      {{"a"}, {}, "a ", "No list to append\n"},
      {{"a", "b"}, {"c", "d"}, "a b c d ", ""},
  };
  for (const auto &c : cases) {
    module_reg_list_t *list = make_list(c.first);
    orvik_test::ScopedVerbose v(1);
    testing::internal::CaptureStderr();
    concat_module_list(&list, make_list(c.second));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want_msgs);
    EXPECT_EQ(names_of(list), c.want_names);
    free_config_list(&list);
  }
  orvik_test::ScopedVerbose quiet(0);  // level-1 messages stay silent below 1
  testing::internal::CaptureStderr();
  module_reg_list_t *empty = nullptr;
  concat_module_list(&empty, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ModelTest, ReleaseAcceptsEmptyAndLongLists) {
  module_reg_list_t *none = nullptr;
  free_config_list(&none);
  free_config_list(nullptr);
  param_t *no_params = nullptr;
  free_param(&no_params);
  value_t *no_value = nullptr;
  free_value(&no_value);
  value_list_t *no_values = nullptr;
  free_ovkc_value_list(&no_values);

  // Enough nodes to overflow the stack of a recursive release.
  module_reg_list_t *head = nullptr;
  for (int i = 0; i < 300000; ++i) {
    module_reg_list_t *n = new_module_reg_list_t();
    n->data = new_module_reg_t();
    n->next = head;
    head = n;
  }
  free_config_list(&head);
  EXPECT_EQ(head, nullptr);
}

TEST(ModelTest, DebugPrintOnlyAtLevelTwo) {
  module_reg_list_t *list = make_list({"cnt"});
  list->data->baddr = 0x1000;
  list->data->offset = 0x1C;
  list->data->bitmask = 0xFF;
  list->data->mdiodev = 3;
  list->data->params = new_param();
  list->data->params->value = -1;
  list->data->params->text = strdup("all");
  {
    orvik_test::ScopedVerbose v(1);
    testing::internal::CaptureStderr();
    debug_print_modulelist(list);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  orvik_test::ScopedVerbose v(2);
  testing::internal::CaptureStderr();
  debug_print_modulelist(list);
  debug_print_modulelist(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cnt, baddr:1000 off:1c, bus:0, mdiodev:3, bits:ff\n"
            "param 18446744073709551615: all\n");
  free_config_list(&list);
}

}  // namespace
