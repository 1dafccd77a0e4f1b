// Raw card access without a design description: one local-bus word or one
// MDIO register, named as "vq:BASE:OFFSET" or "mdio:BASE:DEV:REG".
#ifndef ORVIK_OVKSHOW_RAW_ACCESS_H
#define ORVIK_OVKSHOW_RAW_ACCESS_H

#include <cstdint>
#include <string>

namespace ovkshow {

struct RawAccess {
  bool mdio = false;
  uint32_t base = 0;
  uint32_t offset = 0;  // local bus: byte offset in the window
  uint32_t dev = 0;     // MDIO: device and register
  uint32_t reg = 0;
  bool write = false;
  uint32_t value = 0;
};

// Reads address (and, when value is not null, the value to write) into *out.
// Empty on success, else why the input is refused.
std::string parse_raw_access(const char *address, const char *value, RawAccess *out);

// Attaches the card, maps the window, makes the one access and detaches.
// A read leaves the word in *read.  Empty on success, else what failed.
std::string run_raw_access(const RawAccess &a, uint32_t *read);

}  // namespace ovkshow

#endif
