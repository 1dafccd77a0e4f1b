/* Register runtime of liborvik: initialisation, reading the card into a
 * value list, the equation solver and single item writes.
 *
 * A front end makes one pass: ovkc_init (or ovkc_init_nohw), one read,
 * optionally ovkc_solver, a walk over ovkc_get_datalist, then
 * ovkc_free_datalist and ovkc_free.  All state is process-wide; the card
 * is attached only inside one operation.  Single-threaded. */
#ifndef ORVIK_STAT_H
#define ORVIK_STAT_H

#include <stdint.h>

#include "export.h"
#include "parser.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Change modes of ovkc_change_value; any other mode takes the value as
 * already in position. */
enum { MODE_TOGGLE = 0, MODE_SET = 1 };

/* One section name; the caller of ovkc_get_namelist owns name and node. */
typedef struct name_list {
  char *name;
  struct name_list *next;
} name_list_t;

/* Identification of the card from the last initialisation.  The texts
 * belong to the library (NULL while unset: no initialisation yet, or the
 * first attach failed). */
ORVIK_EXPORT extern uint32_t ovkc_fw_version;
ORVIK_EXPORT extern char *ovkc_board;
ORVIK_EXPORT extern char *ovkc_board_subtype;
ORVIK_EXPORT extern char *ovkc_if0_card;
ORVIK_EXPORT extern char *ovkc_if0_chip;
ORVIK_EXPORT extern char *ovkc_if1_card;
ORVIK_EXPORT extern char *ovkc_if1_chip;

/* Results of ovkc_init and ovkc_init_nohw (OVKC_OK also of the read
 * operations and of ovkc_change_value). */
enum { OVKC_OK = 0, OVKC_INIT_EMPTY = 1, OVKC_INIT_NOT_FOUND = 2 };
/* Result of a read operation that failed. */
enum { OVKC_READ_FAILED = 1 };
/* Failures of ovkc_change_value. */
enum {
  OVKC_CHANGE_NO_ITEM = 1,
  OVKC_CHANGE_NO_CARD = 2,
  OVKC_CHANGE_READ_ONLY = 3,
  OVKC_CHANGE_NO_WINDOW = 4
};

/* Loads the design description (as given, then under /etc/morvex/orvik/)
 * and reads the identification.  OVKC_OK loaded; OVKC_INIT_EMPTY nothing
 * usable in the file; OVKC_INIT_NOT_FOUND file not found. */
ORVIK_EXPORT int ovkc_init(const char *filename);
/* As ovkc_init, but the card is never touched ("NO_CARD", values 0). */
ORVIK_EXPORT int ovkc_init_nohw(const char *filename);

/* Read operations: each replaces the value list.  OVKC_OK built;
 * OVKC_READ_FAILED the card cannot be attached, a window cannot be mapped
 * (the entries read so far stay), or the expression does not compile (the
 * old list stays). */
ORVIK_EXPORT int ovkc_read_values(void);
/* section 0 or less: every section; sections are numbered from 1. */
ORVIK_EXPORT int ovkc_read_values_by_module(int section);
/* POSIX basic expression, case-insensitive, searched inside the name. */
ORVIK_EXPORT int ovkc_read_values_by_name(const char *regex);

/* First node of the value list, NULL when empty; the list stays the
 * library's and is invalid after the next read. */
ORVIK_EXPORT value_list_t *ovkc_get_datalist(void);
ORVIK_EXPORT void ovkc_free_datalist(void);
/* Section number (from 1, in the order of ovkc_get_namelist) of every
 * entry of the value list, in list order: one number per node.  NULL when
 * the list is empty.  Belongs to the library; valid as long as the list. */
ORVIK_EXPORT const int32_t *ovkc_get_datalist_sections(void);
/* New list of section names in section order; NULL when nothing is
 * loaded.  The caller frees every name and node, with
 * ovkc_free_namelist or by hand. */
ORVIK_EXPORT name_list_t *ovkc_get_namelist(void);
/* Frees every name and node of *list and sets *list to NULL.  list and
 * *list may be NULL. */
ORVIK_EXPORT void ovkc_free_namelist(name_list_t **list);
/* Nanoseconds that bytes take at 10 Gbit/s: bytes * 0.8, truncated. */
ORVIK_EXPORT uint64_t ovkc_conv_bytes2time(uint64_t bytes);
/* Frees register list, value list and identification texts. */
ORVIK_EXPORT void ovkc_free(void);

/* Computes the equation items (ACCESS_CNT) of the value list in place. */
ORVIK_EXPORT void ovkc_solver(void);

/* Writes the item named exactly name.  OVKC_OK done (or no card: dry
 * run); OVKC_CHANGE_NO_ITEM nothing loaded or no such item;
 * OVKC_CHANGE_NO_CARD card not attachable; OVKC_CHANGE_READ_ONLY the item
 * is not writable; OVKC_CHANGE_NO_WINDOW its window cannot be mapped. */
ORVIK_EXPORT int ovkc_change_value(const char *name, int mode, uint64_t value);

#ifdef __cplusplus
}
#endif

#endif
