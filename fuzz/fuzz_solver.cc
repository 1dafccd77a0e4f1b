// Equation solver: the input is the text of two equation items, split at
// the first line feed, evaluated over a small value list.  The solver must
// finish every equation, keep its text and mark it done.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "parser.h"
#include "stat.h"
#include "stat_internal.h"

namespace {

value_t *entry(const char *name, uint32_t access, uint64_t value, const std::string *equation) {
  value_t *v = new_value_t();
  FUZZ_CHECK(v != nullptr);
  v->name = strdup(name);
  v->display = strdup(name);
  v->access = access;
  v->format = FORMAT_DEC;
  v->value = value;
  if (equation != nullptr) {
    v->params = new_param();
    v->params->text = strdup(equation->c_str());
  }
  return v;
}

void append(value_list_t **tail, value_t *v) {
  value_list_t *node = new_value_list_t();
  FUZZ_CHECK(node != nullptr);
  node->data = v;
  *tail = node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));
  size_t nl = text.find('\n');
  std::string first = text.substr(0, nl);
  std::string second = nl == std::string::npos ? std::string() : text.substr(nl + 1);

  // rx_ok = 10, rx_err = 3, the two equations, an entry without an
  // equation param, and one with an empty name that matches every token.
  value_list_t *head = nullptr;
  value_list_t **tail = &head;
  value_t *values[] = {entry("rx_ok", ACCESS_RO, 10, nullptr),
                       entry("rx_err", ACCESS_RO, 3, nullptr),
                       entry("eq_a", ACCESS_CNT, 0, &first),
                       entry("eq_b", ACCESS_CNT, 0, &second),
                       entry("eq_none", ACCESS_CNT, 0, nullptr),
                       entry("", ACCESS_RW, 0xFFFFFFFFFFFFFFFFull, nullptr)};
  for (value_t *v : values) {
    append(tail, v);
    tail = &(*tail)->next;
  }
  orvik::global_value_list = head;

  ovkc_solver();

  for (value_list_t *n = ovkc_get_datalist(); n != nullptr; n = n->next)
    FUZZ_CHECK(n->data->access != ACCESS_CNT);
  // Every equation entry ends valid or not available, never in between.
  for (int i = 2; i <= 4; ++i)
    FUZZ_CHECK(values[i]->status == STATUS_VALID || values[i]->status == STATUS_NA);
  FUZZ_CHECK(strcmp(values[2]->params->text, first.c_str()) == 0);
  FUZZ_CHECK(strcmp(values[3]->params->text, second.c_str()) == 0);
  FUZZ_CHECK(values[0]->value == 10 && values[1]->value == 3);
  ovkc_free_datalist();
  FUZZ_CHECK(ovkc_get_datalist() == nullptr);
  return 0;
}
