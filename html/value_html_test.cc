#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "html.h"

// While set, every C++ allocation of this test binary fails, as it would
// when memory runs out.  The C entry points must not let that escape.
static bool g_fail_new = false;

void *operator new(std::size_t size) {
  if (!g_fail_new) {
    if (void *p = malloc(size != 0 ? size : 1)) return p;
  }
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, std::size_t) noexcept { free(p); }

namespace {

const std::string kHexForm =
    "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"rx_ok~2\">"
    "<input type=\"text\" value=\"0x1F\" name=\"val\"><input type=\"submit\" value=\"Set\"></form>";
const std::string kDecForm =
    "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"rx_ok~2\">"
    "<input type=\"text\" value=\"31\" name=\"val\"><input type=\"submit\" value=\"Set\"></form>";
const std::string kOn = "<img src='/images/indicate_up.gif' alt='ON' title='ON'> (on)";
const std::string kOff = "<img src='/images/indicate_down.gif' alt='OFF' title='OFF'> (off)";
const std::string kUp = "<img src='/images/indicate_up.gif' alt='UP' title='UP'> (up)";
const std::string kDown = "<img src='/images/indicate_down.gif' alt='DOWN' title='DOWN'> (down)";

// A heap value record the way the library builds one, so that freeing it
// after building a table shows the table does not point into it.
value_t *make_value(const char *name, uint64_t v, uint32_t format, uint32_t access,
                    const char *display = "Label", int32_t status = 0) {
  auto *value = static_cast<value_t *>(calloc(1, sizeof(value_t)));
  value->name = strdup(name);
  value->display = strdup(display);
  value->value = v;
  value->format = format;
  value->access = access;
  value->status = status;
  return value;
}

void add_param(value_t *value, int64_t v, const char *text, const char *uimg = nullptr,
               int showtext = 1) {
  auto *p = static_cast<param_t *>(calloc(1, sizeof(param_t)));
  p->value = v;
  p->text = text != nullptr ? strdup(text) : nullptr;
  p->uimg = uimg != nullptr ? strdup(uimg) : nullptr;
  p->showtext = static_cast<uint8_t>(showtext);
  param_t **tail = &value->params;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = p;
}

void drop_value(value_t *value) {
  while (value->params != nullptr) {
    param_t *p = value->params;
    value->params = p->next;
    free(p->text);
    free(p->uimg);
    free(p);
  }
  free(value->name);
  free(value->display);
  free(value);
}

std::string text_of(value_t *value) {
  char *text = html_create_text_from_value(value);
  std::string s = text != nullptr ? text : "<NULL>";
  free(text);
  drop_value(value);
  return s;
}

TEST(ValueHtmlTest, TextOfEveryFormat) {
  const uint64_t kAll = ~0ULL;
  const struct {
    uint32_t format;
    uint32_t access;
    uint64_t value;
    int32_t status;
    std::string want;
  } cases[] = {
      {FORMAT_HEX, ACCESS_RO, 0x1F, 0, "0x1F"},
      {FORMAT_HEX, ACCESS_RW, 0x1F, 0, kHexForm},
      {FORMAT_DEC, ACCESS_RO, 31, 0, "31"},
      {FORMAT_DEC, ACCESS_RW, 31, 0, kDecForm},
      {FORMAT_UNKNOWN, ACCESS_RW, 31, 0, kDecForm},
      {40, ACCESS_RO, kAll, 0, "18446744073709551615"},
      {FORMAT_HEADER, ACCESS_NONE, 7, 0, "7"},
      {FORMAT_BIN, ACCESS_RW, 5, 0, "0b101"},
      {FORMAT_SWITCH, ACCESS_RW, 2, 0, kOn},
      {FORMAT_SWITCH, ACCESS_RO, 0, 0, kOff},
      {FORMAT_VSWITCH, ACCESS_RO, 0, 0, kOn},
      {FORMAT_VSWITCH, ACCESS_RO, 1, 0, kOff},
      {FORMAT_INDICATE, ACCESS_RW, 1, 0, kUp},
      {FORMAT_INDICATE, ACCESS_RO, 0, 0, kDown},
      {FORMAT_VINDICATE, ACCESS_RO, 0, 0, kUp},
      {FORMAT_VINDICATE, ACCESS_RO, 9, 0, kDown},
      {FORMAT_HIST, ACCESS_RO, 0, 0, "<div class=\"pgbar\" style='width:0px'>&nbsp;</div>0"},
      {FORMAT_HIST, ACCESS_RO, 4294967295ULL, 0,
       "<div class=\"pgbar\" style='width:100px'>&nbsp;</div>4294967295"},
      {FORMAT_TIMESTAMP, ACCESS_RO, kAll, 0, "UNDEF"},
      {FORMAT_TIMESTAMP, ACCESS_RO, (12ULL << 32) | 5, 0, "12s000000005ns"},
      {FORMAT_TIMESTAMP, ACCESS_RO, 0, 1, "UNDEFINED"},
      {FORMAT_TIMESTAMP, ACCESS_RO, 0, 2, "N/A"},
      {FORMAT_HEX, ACCESS_RW, 3, 1, "UNDEFINED"},
      {FORMAT_CONFIG, ACCESS_CFG, 3, 0, "<NULL>"},
      {FORMAT_CONFIG, ACCESS_CFG, 3, 2, "N/A"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, text_of(make_value("rx_ok~2", c.value, c.format, c.access, "L", c.status)))
        << "format " << c.format << " access " << c.access << " value " << c.value;
}

TEST(ValueHtmlTest, HistBarWidthIsLogarithmic) {
  const struct {
    uint64_t value;
    unsigned width;
  } cases[] = {{1, 3},           {2, 6},           {10, 13},
               {1000, 33},       {65536, 51},      {1000000, 63},
               {2147483648, 96}, {4294967295, 100}, {4294967296, 100},
               {10000000000ULL, 103}, {UINT64_MAX, 196}};
  for (const auto &c : cases) {
    std::string want = "<div class=\"pgbar\" style='width:" + std::to_string(c.width) +
                       "px'>&nbsp;</div>" + std::to_string(c.value);
    EXPECT_EQ(want, text_of(make_value("h", c.value, FORMAT_HIST, ACCESS_RO))) << c.value;
  }
}

TEST(ValueHtmlTest, EnumTextsReadOnly) {
  auto with_params = [](uint64_t v) {
    value_t *value = make_value("e", v, FORMAT_ENUM, ACCESS_RO);
    add_param(value, 0, "down");
    add_param(value, 1, "up", "/images/indicate_up.gif");
    add_param(value, 2, "half", "/img/h.gif", 0);
    add_param(value, 3, "quiet", nullptr, 0);
    add_param(value, 4, nullptr);
    add_param(value, 1, "second match ignored");
    return value;
  };
  EXPECT_EQ("down", text_of(with_params(0)));
  EXPECT_EQ(
      "<img src='/images/indicate_up.gif' alt='/images/indicate_up.gif' title='up'> up",
      text_of(with_params(1)));
  EXPECT_EQ("<img src='/img/h.gif' alt='/img/h.gif' title='half'>", text_of(with_params(2)));
  EXPECT_EQ("&nbsp;", text_of(with_params(3)));
  EXPECT_EQ("Unknown text for: 0x4", text_of(with_params(4)));
  EXPECT_EQ("Unknown text for: 0xAB", text_of(with_params(0xAB)));
  EXPECT_EQ("Unknown text for: 0x0", text_of(make_value("e", 0, FORMAT_ENUM, ACCESS_RO)));
}

TEST(ValueHtmlTest, EnumSelectionMarksEveryMatchingOption) {
  value_t *value = make_value("mode~2", 1, FORMAT_ENUM, ACCESS_RW);
  add_param(value, 0, "off");
  add_param(value, 1, "on");
  add_param(value, 1, "also on");
  EXPECT_EQ(
      "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"mode~2\">"
      "<select name=\"val\">\n"
      "<option value='0'>off</option>\n"
      "<option value='1' selected=\"selected\">on</option>\n"
      "<option value='1' selected=\"selected\">also on</option>\n"
      "</select><input type=\"submit\" value=\"Set\"></form>\n",
      text_of(value));
  EXPECT_EQ(
      "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"m\">"
      "<select name=\"val\">\n</select><input type=\"submit\" value=\"Set\"></form>\n",
      text_of(make_value("m", 1, FORMAT_ENUM, ACCESS_RW)));
}

std::string render_chain(const html_tag_t *tag) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  html_doc_t doc{};
  html_init_doc(&doc, 0, 0, nullptr, out);
  html_render_tag(&doc, tag);
  fclose(out);
  std::string s(buf, len);
  free(buf);
  return s;
}

TEST(ValueHtmlTableTest, RowsHeadingsAndLinksSurviveTheValueList) {
  value_t *values[] = {
      make_value("hdr", 0, FORMAT_HEADER, ACCESS_NONE, "MAC counters"),
      make_value("cfg", 1, FORMAT_CONFIG, ACCESS_CFG, "Config"),
      make_value("rx", 0x10, FORMAT_HEX, ACCESS_RO, "Received"),
      make_value("en~2", 1, FORMAT_SWITCH, ACCESS_RW, "Enable"),
  };
  value_list_t nodes[4];
  for (int i = 0; i < 4; ++i) nodes[i] = {values[i], i < 3 ? &nodes[i + 1] : nullptr};
  html_tag_t *table = html_create_table_from_list(&nodes[0]);
  for (value_t *v : values) {
    memset(v->name, 'Z', strlen(v->name));  // scribble, then release
    drop_value(v);
  }
  ASSERT_NE(nullptr, table);
  EXPECT_EQ("<table><tr><th colspan=\"2\">MAC counters</th>\n</tr>\n"
            "<tr><th>Received</th>\n<td>0x10</td>\n</tr>\n"
            "<tr><th><a href='?S=en~2'>Enable</a></th>\n<td>" + kOn + "</td>\n</tr>\n"
            "</table>\n",
            render_chain(table));
  html_free_tag(&table);
}

TEST(ValueHtmlTableTest, RunningOutOfMemoryRaisesNothingIntoTheCaller) {
  value_t *rw = make_value("a_rather_long_item_name~2", 5, FORMAT_DEC, ACCESS_RW,
                           "A label long enough to need the heap");
  value_list_t node{rw, nullptr};
  bool threw = false;
  html_tag_t *table = nullptr;
  g_fail_new = true;
  try {
    table = html_create_table_from_list(&node);
  } catch (...) {
    threw = true;
  }
  g_fail_new = false;
  EXPECT_FALSE(threw);
  ASSERT_NE(nullptr, table);
  EXPECT_NE(std::string::npos,
            render_chain(table).find("<th><a href='?S=a_rather_long_item_name~2'>"
                                     "A label long enough to need the heap</a></th>\n"));
  html_free_tag(&table);
  drop_value(rw);
}

TEST(ValueHtmlTableTest, EmptyListGivesNoTableAndConfigOnlyAnEmptyOne) {
  EXPECT_EQ(nullptr, html_create_table_from_list(nullptr));
  value_t *cfg = make_value("cfg", 1, FORMAT_CONFIG, ACCESS_CFG);
  value_list_t node{cfg, nullptr};
  html_tag_t *table = html_create_table_from_list(&node);
  EXPECT_EQ("<table></table>\n", render_chain(table));
  html_free_tag(&table);
  drop_value(cfg);
}

}  // namespace
