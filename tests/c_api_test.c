/* The public headers compiled as C, and every create/free pair of the
 * library run once: the free operations must accept what the constructors
 * make and leave the owning pointer NULL. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frames.h"
#include "html.h" /* compile check only: the page builder is not in liborvik */
#include "kvo2.h"
#include "ludra.h"
#include "parser.h"
#include "send.h"
#include "stat.h"
#include "tessel.h"

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                     \
    }                                                                 \
  } while (0)

static void check_model_pairs(void) {
  module_reg_t *reg = new_module_reg_t();
  CHECK(reg != NULL && reg->format == FORMAT_HEX && reg->name == NULL);
  reg->module_name = strdup("MAC");
  reg->name = strdup("rx");
  reg->display = strdup("Received");
  reg->params = new_param();
  reg->params->text = strdup("rx,1,+");
  CHECK(reg->params->showtext == 1);

  module_reg_t *copy = copy_reg(reg);
  CHECK(copy != NULL && copy != reg && strcmp(copy->name, "rx") == 0);
  CHECK(copy->params != NULL && copy->params != reg->params);

  value_t *value = create_value(reg, 7);
  CHECK(value != NULL && value->status == 0 && value->value == 7);
  free_value(&value);
  CHECK(value == NULL);
  free_value(&value); /* an empty pointer is left alone */

  value_t *fresh = new_value_t();
  CHECK(fresh->status == 1 && fresh->value == UINT64_MAX);
  free_value(&fresh);

  index_string(&copy->name, 2, '~');
  CHECK(strcmp(copy->name, "rx~2") == 0);

  module_reg_list_t *list = new_module_reg_list_t();
  list->data = copy;
  free_config_list(&list);
  CHECK(list == NULL);
  free_module_reg(&reg);
  CHECK(reg == NULL);

  value_list_t *values = new_value_list_t();
  values->data = new_value_t();
  free_ovkc_value_list(&values);
  CHECK(values == NULL);

  address_list_t *addresses = NULL;
  append_address_list(&addresses, create_address_list(0x1000));
  append_address_list(&addresses, new_address_list());
  CHECK(addresses->address == 0x1000 && addresses->next->address == 0);
  free_address_list(&addresses);
  CHECK(addresses == NULL);

  param_t *p = new_param();
  free_1param(&p);
  CHECK(p == NULL);
  CHECK(strcmp(reg_type_str(BUS_MDIO), "MDIO") == 0);
}

static void check_library_lifecycles(void) {
  /* Register library: an empty library frees without harm. */
  ovkc_free_datalist();
  ovkc_free();
  CHECK(ovkc_get_namelist() == NULL);
  name_list_t *no_names = NULL;
  ovkc_free_namelist(&no_names);
  ovkc_free_namelist(NULL);
  CHECK(ovkc_get_datalist_sections() == NULL);
  CHECK(ovkc_conv_bytes2time(1500) == 1200);

  /* Frame store: init, an empty list, free. */
  CHECK(ovke_get_frames() == NULL);
  CHECK(ovke_init() == 0);
  frame_queue_t *q = ovke_get_frames();
  CHECK(q != NULL && q->first == (frame_entry_t *)q && q->last == (frame_entry_t *)q);
  ovke_set_load_progress(NULL, NULL);
  ovke_plan_next_load(OVKE_PLAN_SAVE | OVKE_PLAN_PAYLOADS, NULL);
  ovke_plan_next_load(0, NULL);
  ovke_free();
  CHECK(ovke_get_frames() == q);

  /* Sender: init, replay controls, a dry run of nothing, free. */
  CHECK(ovks_init() == OVKS_OK);
  ovks_replay_t replay = {2.0, 3, NULL, NULL};
  ovks_set_replay(&replay);
  CHECK(ovks_send(NULL, NULL, NULL, NULL, 0, 0, 0, 1, 0) == OVKS_FAILED);
  CHECK(strcmp(ovks_error(), "no input file given") == 0);
  ovks_stats_t stats = {1, 1, {1, 1}, {1, 1}};
  ovks_get_stats(&stats);
  CHECK(stats.frames == 0 && stats.bytes == 0);
  ovks_set_replay(NULL);
  ovks_free();
}

/* The named results are part of the ABI: programs built against an older
 * header compare against the bare numbers. */
static void check_result_values(void) {
  static const struct {
    const char *name;
    int value, want;
  } results[] = {
      {"OVKC_OK", OVKC_OK, 0},
      {"OVKC_INIT_EMPTY", OVKC_INIT_EMPTY, 1},
      {"OVKC_INIT_NOT_FOUND", OVKC_INIT_NOT_FOUND, 2},
      {"OVKC_READ_FAILED", OVKC_READ_FAILED, 1},
      {"OVKC_CHANGE_NO_ITEM", OVKC_CHANGE_NO_ITEM, 1},
      {"OVKC_CHANGE_NO_CARD", OVKC_CHANGE_NO_CARD, 2},
      {"OVKC_CHANGE_READ_ONLY", OVKC_CHANGE_READ_ONLY, 3},
      {"OVKC_CHANGE_NO_WINDOW", OVKC_CHANGE_NO_WINDOW, 4},
      {"OVKS_OK", OVKS_OK, 0},
      {"OVKS_FAILED", OVKS_FAILED, 1},
      {"OVKS_NOT_A_CAPTURE", OVKS_NOT_A_CAPTURE, 3},
      {"OVKS_MIXED_LINK_TYPES", OVKS_MIXED_LINK_TYPES, 4},
      {"OVKE_OK", OVKE_OK, 0},
      {"OVKE_LOAD_NO_HEADER", OVKE_LOAD_NO_HEADER, 1},
      {"OVKE_LOAD_NO_MEMORY", OVKE_LOAD_NO_MEMORY, 2},
      {"OVKE_LOAD_UNKNOWN_FORMAT", OVKE_LOAD_UNKNOWN_FORMAT, 3},
      {"OVKE_LOAD_MIXED_LINK_TYPES", OVKE_LOAD_MIXED_LINK_TYPES, 4},
      {"OVKE_SAVE_FAILED", OVKE_SAVE_FAILED, 1},
      {"OVKE_BAD_ARGUMENT", OVKE_BAD_ARGUMENT, 1},
      {"OVKE_NOT_INITIALISED", OVKE_NOT_INITIALISED, 2},
      {"OVKE_CLONE_NO_MEMORY", OVKE_CLONE_NO_MEMORY, 3},
  };
  for (size_t i = 0; i < sizeof results / sizeof results[0]; i++)
    if (results[i].value != results[i].want) {
      fprintf(stderr, "%s is %d, not %d\n", results[i].name, results[i].value, results[i].want);
      failures++;
    }
}

int main(void) {
  check_result_values();
  check_model_pairs();
  check_library_lifecycles();
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
