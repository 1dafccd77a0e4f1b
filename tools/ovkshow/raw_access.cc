#include "raw_access.h"

#include <strings.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "cli.h"
#include "ludra.h"

namespace ovkshow {

namespace {

const char kCardPath[] = "/dev/ludrax/0";
// vq_space_map window sizes: a local-bus window, an MDIO window.
constexpr uint32_t kVqWindow = 0;
constexpr uint32_t kMdioWindow = 16;
constexpr uint32_t kMdioPort = 0;
constexpr uint32_t kMaxMdioDevice = 31;
constexpr uint32_t kMaxMdioRegister = 0xFFFF;
constexpr uint32_t kMaxMdioValue = 0xFFFF;

// Decimal digits, or 0x and hexadecimal digits; the whole text, 32 bits.
bool parse_u32(const std::string &text, uint32_t *out) {
  uint64_t v = 0;
  if (!orvik_cli::parse_unsigned(text.c_str(), true, UINT32_MAX, false, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> split(std::string_view s) {
  std::vector<std::string> fields;
  for (size_t pos = 0;;) {
    size_t colon = s.find(':', pos);
    fields.emplace_back(s.substr(pos, colon == std::string_view::npos ? colon : colon - pos));
    if (colon == std::string_view::npos) return fields;
    pos = colon + 1;
  }
}

struct Field {
  const char *name;
  uint32_t *to;
  uint32_t max;
};

// The device handle and the mapped window; released in reverse order.
class CardWindow {
 public:
  ~CardWindow() {
    if (space_ != nullptr) vq_space_unmap(dev_, &space_);
    if (dev_ != nullptr) vq_detach(&dev_);
  }
  std::string open(uint32_t size, uint32_t base) {
    if (vq_attach_noex(&dev_, kCardPath) != 0) {
      dev_ = nullptr;
      return std::string("cannot attach the card ") + kCardPath;
    }
    if (vq_space_map(dev_, &space_, 0, size, base, 0) != 0) {
      space_ = nullptr;
      char buf[64];
      snprintf(buf, sizeof buf, "cannot map the window at 0x%X", base);
      return buf;
    }
    return "";
  }
  vq_dev_t dev() const { return dev_; }
  vq_space_t space() const { return space_; }

 private:
  vq_dev_t dev_ = nullptr;
  vq_space_t space_ = nullptr;
};

}  // namespace

std::string parse_raw_access(const char *address, const char *value, RawAccess *out) {
  const std::string quoted = std::string("`") + address + "'";
  std::vector<std::string> f = split(address);
  RawAccess a;
  if (strcasecmp(f[0].c_str(), "mdio") == 0)
    a.mdio = true;
  else if (strcasecmp(f[0].c_str(), "vq") != 0)
    return "unknown bus `" + f[0] + "' in " + quoted + " (vq or mdio)";
  const std::vector<Field> fields =
      a.mdio ? std::vector<Field>{{"base", &a.base, UINT32_MAX},
                                  {"device", &a.dev, kMaxMdioDevice},
                                  {"register", &a.reg, kMaxMdioRegister}}
             : std::vector<Field>{{"base", &a.base, UINT32_MAX}, {"offset", &a.offset, UINT32_MAX}};
  const char *form = a.mdio ? "mdio:BASE:DEV:REG" : "vq:BASE:OFFSET";
  bool empty_field = false;
  for (const std::string &field : f) empty_field = empty_field || field.empty();
  if (f.size() < fields.size() + 1 || (f.size() == fields.size() + 1 && empty_field))
    return "missing field in " + quoted + " (" + form + ")";
  if (f.size() > fields.size() + 1)
    return "too many fields in " + quoted + " (" + form + ")";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!parse_u32(f[i + 1], fields[i].to))
      return std::string(fields[i].name) + " `" + f[i + 1] + "' in " + quoted +
             " is not a number (decimal or 0x hexadecimal)";
    if (*fields[i].to > fields[i].max)
      return std::string(fields[i].name) + " `" + f[i + 1] + "' in " + quoted + " is above " +
             std::to_string(fields[i].max);
  }
  if (!a.mdio && a.offset % 4 != 0)
    return "offset `" + f[2] + "' in " + quoted + " is not a multiple of 4";
  if (value != nullptr) {
    a.write = true;
    if (!parse_u32(value, &a.value))
      return std::string("value `") + value + "' is not a number (decimal or 0x hexadecimal)";
    if (a.mdio && a.value > kMaxMdioValue)
      return std::string("value `") + value + "' is above 0xFFFF, the width of an MDIO register";
  }
  *out = a;
  return "";
}

std::string run_raw_access(const RawAccess &a, uint32_t *read) {
  CardWindow w;
  if (std::string e = w.open(a.mdio ? kMdioWindow : kVqWindow, a.base); !e.empty()) return e;
  if (a.mdio && a.write)
    vq_mdio_write(w.dev(), w.space(), kMdioPort, a.dev, a.reg, static_cast<uint16_t>(a.value));
  else if (a.mdio)
    *read = vq_mdio_read(w.dev(), w.space(), kMdioPort, a.dev, a.reg);
  else if (a.write)
    vq_space_write_4(w.dev(), w.space(), a.offset, a.value);
  else
    *read = vq_space_read_4(w.dev(), w.space(), a.offset);
  return "";
}

}  // namespace ovkshow
