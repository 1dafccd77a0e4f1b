/* Register description model and design description loader of liborvik.
 *
 * The design description (addresses.xml) becomes one singly linked list of
 * register records.  Every record owns its texts and params; every copy is
 * deep.  Memory handed out comes from malloc and is released with the free
 * operations below, which take the address of the owning pointer and leave
 * it NULL. */
#ifndef ORVIK_PARSER_H
#define ORVIK_PARSER_H

#include <stdint.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bus type (module_reg_t.bus). */
enum { BUS_VQBUS = 0, BUS_MDIO = 1 };

/* Register size (module_reg_t.size). */
enum { SIZE_W = 0, SIZE_D = 1, SIZE_S = 2 };

/* Access kind (module_reg_t.access, value_t.access). */
enum {
  ACCESS_NONE = 0,
  ACCESS_RO = 1,
  ACCESS_RW = 2,
  ACCESS_CNT = 3,
  ACCESS_CFG = 4
};

/* Display format (module_reg_t.format, value_t.format). */
enum {
  FORMAT_HEX = 0,
  FORMAT_DEC = 1,
  FORMAT_BIN = 2,
  FORMAT_SWITCH = 3,
  FORMAT_VSWITCH = 4,
  FORMAT_HIST = 5,
  FORMAT_INDICATE = 6,
  FORMAT_VINDICATE = 7,
  FORMAT_TIMESTAMP = 8,
  FORMAT_HEADER = 9,
  FORMAT_ENUM = 10,
  FORMAT_CONFIG = 11,
  FORMAT_UNKNOWN = 12
};

/* Value status (value_t.status). */
enum { STATUS_VALID = 0, STATUS_UNDEFINED = 1, STATUS_NA = 2 };

typedef struct param {
  int64_t value;      /* enumeration value; for CFG items the value written */
  char *text;         /* enumeration text, equation, label or heading; owned */
  char *uimg;         /* image path or NULL; owned */
  uint8_t showtext;   /* 1: show the text beside the image */
  struct param *next;
} param_t;

typedef struct module_reg {
  int32_t bus;
  char *module_name;  /* section title; owned */
  char *name;         /* item identifier; owned */
  uint32_t bitmask;   /* 0: the whole word */
  uint32_t size;
  int32_t repeat;
  uint32_t access;
  uint32_t format;
  char *display;      /* label; owned */
  param_t *params;    /* owned */
  uint32_t baddr;
  uint32_t offset;
  uint32_t mdiodev;
  int32_t incoffset;
} module_reg_t;

typedef struct module_reg_list {
  module_reg_t *data; /* owned */
  struct module_reg_list *next;
} module_reg_list_t;

typedef struct value {
  char *name;         /* owned */
  int32_t status;     /* STATUS_* */
  uint64_t value;
  char *display;      /* owned */
  param_t *params;    /* owned deep copy of the item's params */
  uint32_t access;
  uint32_t format;
} value_t;

typedef struct value_list {
  value_t *data;      /* owned */
  struct value_list *next;
} value_list_t;

typedef struct address_list {
  uint64_t address;
  struct address_list *next;
} address_list_t;

/* Constructors.  Each returns one new malloc()ed object; an allocation that
 * fails ends the program with a message. */
ORVIK_EXPORT module_reg_t *new_module_reg_t(void);
ORVIK_EXPORT module_reg_list_t *new_module_reg_list_t(void);
ORVIK_EXPORT value_list_t *new_value_list_t(void);
/* status 1, value all ones. */
ORVIK_EXPORT value_t *new_value_t(void);
/* showtext 1. */
ORVIK_EXPORT param_t *new_param(void);
ORVIK_EXPORT address_list_t *new_address_list(void);
ORVIK_EXPORT address_list_t *create_address_list(uint64_t address);

/* Deep copy of a whole param list (NULL gives NULL).  A param without text
 * gets the empty text in the copy; an absent uimg stays absent. */
ORVIK_EXPORT param_t *copy_param(const param_t *list);
/* Deep copy of a record; reg must carry module_name, name and display. */
ORVIK_EXPORT module_reg_t *copy_reg(const module_reg_t *reg);
/* New value record for the item reg holding value, status 0. */
ORVIK_EXPORT value_t *create_value(const module_reg_t *reg, uint64_t value);

ORVIK_EXPORT void append_address_list(address_list_t **list, address_list_t *node);
/* Appends other after the last node of *list (level-1 messages for the
 * empty cases). */
ORVIK_EXPORT void concat_module_list(module_reg_list_t **list, module_reg_list_t *other);
/* *text becomes "%s%c%i" of the old text, separator and number; the old
 * text is freed. */
ORVIK_EXPORT void index_string(char **text, int32_t number, char separator);
/* Distance covered by count register steps of the item in node. */
ORVIK_EXPORT uint64_t get_bus_interval(const module_reg_list_t *node, int64_t count);
/* "VQBUS", "MDIO" or "UNKNOWN"; a constant text. */
ORVIK_EXPORT const char *reg_type_str(int32_t bus);

/* Release operations: each frees what its pointer owns and sets it NULL. */
ORVIK_EXPORT void free_1param(param_t **param);
ORVIK_EXPORT void free_param(param_t **list);
ORVIK_EXPORT void free_module_reg(module_reg_t **reg);
ORVIK_EXPORT void free_config_list(module_reg_list_t **list);
ORVIK_EXPORT void free_value(value_t **value);
ORVIK_EXPORT void free_ovkc_value_list(value_list_t **list);
ORVIK_EXPORT void free_address_list(address_list_t **list);

/* Level-2 dump of every register and param (only when verbose > 1). */
ORVIK_EXPORT void debug_print_modulelist(const module_reg_list_t *list);

/* ---- Design description loader ---- */

struct _xmlNode; /* libxml2 element node */

/* Loads the design description at filename; NULL when it cannot be parsed
 * or holds nothing usable.  The caller owns the list. */
ORVIK_EXPORT module_reg_list_t *load_config(const char *filename);
ORVIK_EXPORT module_reg_list_t *load_xml_config(struct _xmlNode *root);
ORVIK_EXPORT module_reg_list_t *parse_modules_tag(struct _xmlNode *modules);
ORVIK_EXPORT module_reg_list_t *parse_module_tag(struct _xmlNode *module, int32_t bus,
                                                 const char *header);
ORVIK_EXPORT module_reg_t *parse_item_tag(struct _xmlNode *item, int32_t bus,
                                          const char *header);
ORVIK_EXPORT int32_t reg_type_val(const char *text);
ORVIK_EXPORT uint32_t parse_format(const char *text);
ORVIK_EXPORT address_list_t *get_addresses(struct _xmlNode *addresses);
/* Heading record for a HIST item with params; removes the item's first
 * param. */
ORVIK_EXPORT module_reg_t *create_header(module_reg_t *item);
/* Expands the item in *tail into its repeated instances; *tail then points
 * to the last node. */
ORVIK_EXPORT void check_repeat(module_reg_list_t **tail);
ORVIK_EXPORT void map_modules(module_reg_list_t *list, const address_list_t *addresses);
ORVIK_EXPORT void print_element_names(struct _xmlNode *node);

#ifdef __cplusplus
}
#endif

#endif
