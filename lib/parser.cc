// Register description model: the records of the register list, their
// constructors, deep copies, list and text operations and release.
//
// Records are plain malloc()ed C structs because the callers (runtime, front
// ends) free them with the release operations below.  Allocation failures
// end the program: every caller assumes a constructor or copy succeeds, and a
// half-built register list would be worse than a clear exit.
#include "parser.h"

#include <err.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "c_util.h"
#include "log.h"

using orvik::xstrdup;

namespace {

char err_msg[orvik::kErrMsgSize];

void *xcalloc(size_t size) {
  void *p = calloc(1, size);
  if (p == nullptr) errx(1, "out of memory allocating %zu bytes", size);
  return p;
}

// Absent texts stay absent; only the loader-completed records are promised
// to carry all three texts, and a copy must never be the thing that crashes.
char *dup_or_null(const char *text) { return text ? xstrdup(text) : nullptr; }

param_t *copy_one_param(const param_t *src) {
  param_t *p = new_param();
  p->value = src->value;
  p->text = xstrdup(src->text ? src->text : "");
  p->uimg = dup_or_null(src->uimg);
  p->showtext = src->showtext;
  return p;
}

}  // namespace

extern "C" {

module_reg_t *new_module_reg_t(void) {
  return static_cast<module_reg_t *>(xcalloc(sizeof(module_reg_t)));
}

module_reg_list_t *new_module_reg_list_t(void) {
  return static_cast<module_reg_list_t *>(xcalloc(sizeof(module_reg_list_t)));
}

value_list_t *new_value_list_t(void) {
  return static_cast<value_list_t *>(xcalloc(sizeof(value_list_t)));
}

value_t *new_value_t(void) {
  auto *v = static_cast<value_t *>(xcalloc(sizeof(value_t)));
  v->status = STATUS_UNDEFINED;
  v->value = UINT64_MAX;
  return v;
}

param_t *new_param(void) {
  auto *p = static_cast<param_t *>(xcalloc(sizeof(param_t)));
  p->showtext = 1;
  return p;
}

address_list_t *new_address_list(void) {
  return static_cast<address_list_t *>(xcalloc(sizeof(address_list_t)));
}

address_list_t *create_address_list(uint64_t address) {
  address_list_t *node = new_address_list();
  node->address = address;
  return node;
}

param_t *copy_param(const param_t *list) {
  param_t *head = nullptr;
  param_t **link = &head;
  for (; list != nullptr; list = list->next) {
    *link = copy_one_param(list);
    link = &(*link)->next;
  }
  return head;
}

module_reg_t *copy_reg(const module_reg_t *reg) {
  if (reg == nullptr) return nullptr;
  module_reg_t *copy = new_module_reg_t();
  *copy = *reg;  // every number; the pointers are replaced below
  copy->module_name = dup_or_null(reg->module_name);
  copy->name = dup_or_null(reg->name);
  copy->display = dup_or_null(reg->display);
  copy->params = copy_param(reg->params);
  return copy;
}

value_t *create_value(const module_reg_t *reg, uint64_t value) {
  value_t *v = new_value_t();
  v->name = xstrdup(reg->name ? reg->name : "");
  // Front ends print the label unconditionally, so give them a text.
  v->display = xstrdup(reg->display ? reg->display : "");
  v->params = copy_param(reg->params);
  v->access = reg->access;
  v->format = reg->format;
  v->value = value;
  v->status = STATUS_VALID;
  return v;
}

void append_address_list(address_list_t **list, address_list_t *node) {
  if (list == nullptr) return;
  while (*list != nullptr) list = &(*list)->next;
  *list = node;
}

void concat_module_list(module_reg_list_t **list, module_reg_list_t *other) {
  if (list == nullptr) return;
  if (*list == nullptr) {
    orvik::log_msg(err_msg, 1, "No previous lists\n");
    if (other == nullptr) orvik::log_msg(err_msg, 1, "New list is also empty\n");
    *list = other;
    return;
  }
  if (other == nullptr) {
    orvik::log_msg(err_msg, 1, "No list to append\n");
    return;
  }
  module_reg_list_t *last = *list;
  while (last->next != nullptr) last = last->next;
  last->next = other;
}

void index_string(char **text, int32_t number, char separator) {
  if (text == nullptr) return;
  // "%s%c%i" of the old text, the separator and the number, put together by
  // hand: the loader names every instance of every item this way, and two
  // passes through printf per name were most of the cost of a large load.
  const char *old = *text ? *text : "";
  size_t len = strlen(old);
  char digits[16];
  size_t ndigits = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr -
                                       digits);
  // Two spare zero bytes: callers have relied on the slack after the text.
  auto *fresh = static_cast<char *>(xcalloc(len + 1 + ndigits + 2));
  memcpy(fresh, old, len);
  fresh[len] = separator;
  memcpy(fresh + len + 1, digits, ndigits);
  free(*text);
  *text = fresh;
}

uint64_t get_bus_interval(const module_reg_list_t *node, int64_t count) {
  if (node == nullptr || node->data == nullptr) return 0;
  const module_reg_t *reg = node->data;
  // Unsigned arithmetic: negative counts wrap instead of overflowing.
  const uint64_t steps = static_cast<uint64_t>(count);
  const bool dword = reg->size == SIZE_D;  // S steps like W
  switch (reg->bus) {
    case BUS_VQBUS:
      return steps * (dword ? 8u : 4u);
    case BUS_MDIO:
      return steps * (dword ? 2u : 1u);
    default:
      orvik::log_msg(err_msg, 2, "Unknown BUS type in get_bus_interval\n");
      return 0;
  }
}

const char *reg_type_str(int32_t bus) {
  switch (bus) {
    case BUS_VQBUS:
      return "VQBUS";
    case BUS_MDIO:
      return "MDIO";
    default:
      return "UNKNOWN";
  }
}

void free_1param(param_t **param) {
  if (param == nullptr || *param == nullptr) return;
  free((*param)->text);
  free((*param)->uimg);
  free(*param);
  *param = nullptr;
}

void free_param(param_t **list) {
  if (list == nullptr) return;
  param_t *p = *list;
  while (p != nullptr) {
    param_t *next = p->next;
    free_1param(&p);
    p = next;
  }
  *list = nullptr;
}

void free_module_reg(module_reg_t **reg) {
  if (reg == nullptr || *reg == nullptr) return;
  free((*reg)->module_name);
  free((*reg)->name);
  free((*reg)->display);
  free_param(&(*reg)->params);
  free(*reg);
  *reg = nullptr;
}

void free_config_list(module_reg_list_t **list) {
  if (list == nullptr) return;
  module_reg_list_t *node = *list;
  while (node != nullptr) {
    module_reg_list_t *next = node->next;
    free_module_reg(&node->data);
    free(node);
    node = next;
  }
  *list = nullptr;
}

void free_value(value_t **value) {
  if (value == nullptr || *value == nullptr) return;
  free((*value)->name);
  free((*value)->display);
  free_param(&(*value)->params);
  free(*value);
  *value = nullptr;
}

void free_ovkc_value_list(value_list_t **list) {
  if (list == nullptr) return;
  value_list_t *node = *list;
  while (node != nullptr) {
    value_list_t *next = node->next;
    free_value(&node->data);
    free(node);
    node = next;
  }
  *list = nullptr;
}

void free_address_list(address_list_t **list) {
  if (list == nullptr) return;
  address_list_t *node = *list;
  while (node != nullptr) {
    address_list_t *next = node->next;
    free(node);
    node = next;
  }
  *list = nullptr;
}

void debug_print_modulelist(const module_reg_list_t *list) {
  // The walk costs nothing worth saving when nobody listens.
  if (!orvik::log_enabled(2)) return;
  for (; list != nullptr; list = list->next) {
    const module_reg_t *r = list->data;
    if (r == nullptr) continue;
    orvik::log_msg(err_msg, 2, "%s, baddr:%x off:%x, bus:%i, mdiodev:%i, bits:%x\n",
                   r->name ? r->name : "", r->baddr, r->offset, r->bus,
                   static_cast<int>(r->mdiodev), r->bitmask);
    for (const param_t *p = r->params; p != nullptr; p = p->next)
      orvik::log_msg(err_msg, 2, "param %llu: %s\n",
                     static_cast<unsigned long long>(p->value), p->text ? p->text : "");
  }
}

}  // extern "C"
