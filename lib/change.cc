// Item writes: a read-modify-write of the one register word an item lives
// in, changing only the item's bits.
#include <string.h>

#include "log.h"
#include "stat.h"
#include "stat_internal.h"

namespace orvik {
namespace {

char err_msg[kErrMsgSize];

constexpr uint32_t kMdioWindow = 16;

// The new register word.  MODE_SET takes a right-aligned value that is
// already moved to the mask's position here; any other mode but toggle
// takes the value as given, in position.
uint32_t new_word(uint32_t current, uint32_t bitmask, int8_t mode, uint64_t value) {
  uint32_t mask = bitmask ? bitmask : 0xFFFFFFFFu;
  if (mode == MODE_TOGGLE) return current ^ mask;
  uint32_t v = static_cast<uint32_t>(mode == MODE_SET ? tl_rshiftval(value, bitmask, -1) : value);
  return (current & ~mask) | (v & mask);
}

// A window of the item's own bus at its base, released on every path.
class ItemWindow {
 public:
  ItemWindow() = default;
  ItemWindow(const ItemWindow &) = delete;
  ItemWindow &operator=(const ItemWindow &) = delete;
  ~ItemWindow() {
    if (mapped_) vq_space_unmap(dev, &space_);
  }
  bool map(uint32_t size, uint32_t baddr) {
    mapped_ = vq_space_map(dev, &space_, 0, size, baddr, 0) == 0;
    return mapped_;
  }
  vq_space_t get() const { return space_; }

 private:
  vq_space_t space_ = nullptr;
  bool mapped_ = false;
};

const module_reg_list_t *find_item(const char *name) {
  for (const module_reg_list_t *node = global_reg_list; node; node = node->next)
    if (node->data && node->data->name && strcmp(node->data->name, name) == 0) return node;
  return nullptr;
}

}  // namespace

int write_reg_value(const module_reg_list_t *node, int8_t mode, uint64_t value) {
  if (!ovkc_is_ludra_hw) return OVKC_OK;
  const module_reg_t &r = *node->data;
  if (r.access != ACCESS_RW && r.access != ACCESS_CFG) {
    log_msg(err_msg, 2, "Cannot change Read-Only value\n");
    return OVKC_CHANGE_READ_ONLY;
  }
  if (r.bus != BUS_VQBUS && r.bus != BUS_MDIO) return OVKC_CHANGE_NO_WINDOW;
  ItemWindow window;
  if (!window.map(r.bus == BUS_MDIO ? kMdioWindow : 0, r.baddr)) {
    log_msg(err_msg, 2, "vq_space_map failed to map component\n");
    return OVKC_CHANGE_NO_WINDOW;
  }
  uint32_t current = r.bus == BUS_MDIO ? vq_mdio_read(dev, window.get(), 0, r.mdiodev, r.offset)
                                       : vq_space_read_4(dev, window.get(), r.offset);
  uint32_t word = new_word(current, r.bitmask, mode, value);
  log_msg(err_msg, 1, "writing to %x value %x", r.offset, word);
  if (r.bus == BUS_MDIO)
    vq_mdio_write(dev, window.get(), 0, r.mdiodev, r.offset, static_cast<uint16_t>(word));
  else
    vq_space_write_4(dev, window.get(), r.offset, word);
  return OVKC_OK;
}

}  // namespace orvik

extern "C" int ovkc_change_value(const char *name, int mode, uint64_t value) {
  using namespace orvik;
  // Without a card a change is a dry run that succeeds by design.
  if (!ovkc_is_ludra_hw) return OVKC_OK;
  if (global_reg_list == nullptr || name == nullptr) return OVKC_CHANGE_NO_ITEM;
  const module_reg_list_t *node = find_item(name);
  if (node == nullptr) return OVKC_CHANGE_NO_ITEM;
  CardSession card(true);
  if (card.failed()) return OVKC_CHANGE_NO_CARD;
  return write_reg_value(node, static_cast<int8_t>(mode), value);
}
