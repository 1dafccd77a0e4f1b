// State and helpers shared by the register runtime's files (stat.cc,
// solver.cc, change.cc).  Nothing here is exported from liborvik.
#ifndef ORVIK_STAT_INTERNAL_H
#define ORVIK_STAT_INTERNAL_H

#include <stdint.h>

#include "ludra.h"
#include "parser.h"

namespace orvik {

// Register list of the last initialisation; owned here.
extern module_reg_list_t *global_reg_list;
// Value list of the last read; owned here, lent to the front ends.
extern value_list_t *global_value_list;
// Card handle: valid only between the attach and the detach of one
// operation.
extern vq_dev_t dev;
// 1 after ovkc_init, 0 after ovkc_init_nohw: every card access checks it.
extern uint8_t ovkc_is_ludra_hw;
// Device path handed to every attach.
extern const char *const ludra_card;

// One attach of the card for the length of one operation.  With hw set it
// attaches (dev) and detaches on every way out, exceptions included, so no
// card lock outlives the operation; a failed attach is reported ("vq_attach
// failed.", level 1) and leaves nothing to detach.  Without hw it does
// nothing and never fails.  Windows mapped inside must be unmapped by
// owners declared after the session.
class CardSession {
 public:
  explicit CardSession(bool hw);
  CardSession(const CardSession &) = delete;
  CardSession &operator=(const CardSession &) = delete;
  ~CardSession();
  bool failed() const { return failed_; }

 private:
  bool attached_ = false;
  bool failed_ = false;
};


// Walks the register list and replaces the value list.  section <= 0: all
// sections; regex NULL: no name filter.  OVKC_OK built; OVKC_READ_FAILED
// the expression does not compile (list kept), the card cannot be attached
// (list empty) or a window could not be mapped (the entries read so far
// stay).
int read_values(int section, const char *regex);

// Read-modify-write of the register word of the item in node; the card
// must be attached (dev).  Returns OVKC_OK,
// OVKC_CHANGE_READ_ONLY or OVKC_CHANGE_NO_WINDOW.
int write_reg_value(const module_reg_list_t *node, int8_t mode, uint64_t value);

// Common body of ovkc_init (hw 1) and ovkc_init_nohw (hw 0).
int ovkc_init_internal(const char *filename, uint8_t hw);

}  // namespace orvik

#endif
