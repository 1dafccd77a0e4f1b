// Register runtime: library state, initialisation with the card's
// identification, and the walk that reads the card into the value list.
#include "stat.h"

#include <regex.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "c_util.h"
#include "log.h"
#include "stat_internal.h"

namespace orvik {

module_reg_list_t *global_reg_list = nullptr;
value_list_t *global_value_list = nullptr;
vq_dev_t dev = nullptr;
uint8_t ovkc_is_ludra_hw = 0;
const char *const ludra_card = "/dev/ludrax/0";

}  // namespace orvik

extern "C" {
uint32_t ovkc_fw_version = 0;
char *ovkc_board = nullptr;
char *ovkc_board_subtype = nullptr;
char *ovkc_if0_card = nullptr;
char *ovkc_if0_chip = nullptr;
char *ovkc_if1_card = nullptr;
char *ovkc_if1_chip = nullptr;
}

namespace orvik {
namespace {

char err_msg[kErrMsgSize];

// Section number of every entry of global_value_list, in list order.  The
// value records have a fixed layout with no room for it, and a front end
// that groups the entries by section cannot recover it from the list.
std::vector<int32_t> value_sections;

constexpr const char *kConfigDir = "/etc/morvex/orvik/";
constexpr int kIdentCount = 6;

char **const kIdent[kIdentCount] = {&ovkc_board,    &ovkc_board_subtype, &ovkc_if0_card,
                                    &ovkc_if0_chip, &ovkc_if1_card,      &ovkc_if1_chip};

// Owns a compiled expression; regfree only runs after a successful regcomp.
class Regex {
 public:
  Regex() = default;
  Regex(const Regex &) = delete;
  Regex &operator=(const Regex &) = delete;
  ~Regex() {
    if (compiled_) regfree(&re_);
  }
  bool compile(const char *pattern) {
    compiled_ = regcomp(&re_, pattern, REG_ICASE | REG_NOSUB) == 0;
    return compiled_;
  }
  bool search(const char *text) const {
    return regexec(&re_, text ? text : "", 0, nullptr, 0) == 0;
  }

 private:
  regex_t re_;
  bool compiled_ = false;
};

// Appends in O(1) by keeping the last node.
class ValueListBuilder {
 public:
  ValueListBuilder() = default;
  ValueListBuilder(const ValueListBuilder &) = delete;
  ValueListBuilder &operator=(const ValueListBuilder &) = delete;
  ~ValueListBuilder() { free_ovkc_value_list(&head_); }

  void append(value_t *value) {
    value_list_t *node = new_value_list_t();
    node->data = value;
    *tail_ = node;
    tail_ = &node->next;
  }
  value_list_t *release() {
    value_list_t *head = head_;
    head_ = nullptr;
    tail_ = &head_;
    return head;
  }

 private:
  value_list_t *head_ = nullptr;
  value_list_t **tail_ = &head_;
};

// Out of memory leaves the text unset, which front ends already handle.
void set_text(char **slot, const char *text) {
  free(*slot);
  *slot = strdup(text ? text : "");
}

void free_identification() {
  for (char **slot : kIdent) {
    free(*slot);
    *slot = nullptr;
  }
}

// The path that opened, or an empty string when neither does.
std::string find_config(const char *filename) {
  if (FilePtr f{fopen(filename, "r")}) return filename;
  std::string path = std::string(kConfigDir) + filename;
  if (FilePtr f{fopen(path.c_str(), "r")}) return path;
  return {};
}

void identify_without_card() {
  ovkc_fw_version = 0;
  for (char **slot : kIdent) set_text(slot, "NO_CARD");
}

// A failed attach leaves the identification as it was: the library stays
// usable and its reads report the missing card themselves.
void identify_card() {
  CardSession card(true);
  if (card.failed()) return;
  ovkc_fw_version = vq_firmware_get(dev);
  const char *texts[kIdentCount] = {};
  vq_identify_cv2(dev, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4], &texts[5]);
  for (int i = 0; i < kIdentCount; ++i) set_text(kIdent[i], texts[i]);
}

bool same_text(const char *a, const char *b) { return strcmp(a ? a : "", b ? b : "") == 0; }

// ---- The read walk ----

// A mapped window remembers its base so consecutive items of one module
// instance share one mapping.
struct Window {
  vq_space_t space = nullptr;
  bool mapped = false;
  uint32_t base = 0;
  uint32_t size;

  explicit Window(uint32_t window_size) : size(window_size) {}

  bool follow(uint32_t baddr) {
    if (mapped && base == baddr) return true;
    if (mapped) vq_space_unmap(dev, &space);
    mapped = vq_space_map(dev, &space, 0, size, baddr, 0) == 0;
    base = baddr;
    return mapped;
  }
};

struct RegKey {
  int32_t bus;
  uint32_t baddr, offset, mdiodev;
  bool operator==(const RegKey &) const = default;
};

RegKey key_of(const module_reg_t &r) {
  return {r.bus, r.baddr, r.offset, r.bus == BUS_MDIO ? r.mdiodev : 0};
}

uint64_t read_vqbus(vq_space_t w, const module_reg_t &r) {
  uint64_t raw = 0;
  switch (r.size) {
    case SIZE_D:
      tl_concat_nums(vq_space_read_4(dev, w, r.offset + 4), vq_space_read_4(dev, w, r.offset),
                     &raw);
      return raw;
    case SIZE_S:
      tl_concat_nums(vq_space_read_4(dev, w, r.offset), vq_space_read_4(dev, w, r.offset + 4),
                     &raw);
      return raw;
    default:
      return vq_space_read_4(dev, w, r.offset);
  }
}

uint64_t read_mdio(vq_space_t w, const module_reg_t &r) {
  auto reg = [&](uint32_t n) -> uint32_t { return vq_mdio_read(dev, w, 0, r.mdiodev, n); };
  switch (r.size) {
    case SIZE_D:
      return (reg(r.offset + 1) << 16 | reg(r.offset)) & 0xFFFFFFFFu;
    case SIZE_S:
      return (reg(r.offset) << 16 | reg(r.offset + 1)) & 0xFFFFFFFFu;
    default:
      return reg(r.offset);
  }
}

uint64_t decode(const module_reg_t &r, uint64_t raw) {
  if (r.bitmask == 0) return raw;
  return tl_shiftval(static_cast<uint32_t>(raw) & r.bitmask, r.bitmask);
}

class Walk {
 public:
  Walk(int section, const Regex *regex) : section_filter_(section), regex_(regex) {}
  Walk(const Walk &) = delete;
  Walk &operator=(const Walk &) = delete;
  // Both windows go back before the card session ends.
  ~Walk() {
    if (!ovkc_is_ludra_hw) return;
    vq_space_unmap(dev, &vqbus_.space);
    vq_space_unmap(dev, &mdio_.space);
  }

  // Builds the entries into list and their section numbers into sections;
  // false when a window could not be mapped and the walk stopped there.
  bool run(ValueListBuilder &list, std::vector<int32_t> &sections) {
    for (const module_reg_list_t *node = global_reg_list; node; node = node->next) {
      const module_reg_t &r = *node->data;
      count_section(r);
      if (r.bus == BUS_MDIO) last_mdiodev_ = static_cast<int>(r.mdiodev);
      if (ovkc_is_ludra_hw && !follow_window(r)) {
        log_msg(err_msg, 2, "vq_space_map failed to map component\n");
        return false;
      }
      if (!selected(r)) continue;
      uint64_t raw = raw_word(node);
      sections.push_back(section_);
      list.append(create_value(&r, decode(r, raw)));
    }
    return true;
  }

 private:
  void count_section(const module_reg_t &r) {
    if (!seen_ || !same_text(r.module_name, prev_module_)) ++section_;
    seen_ = true;
    prev_module_ = r.module_name;
  }

  bool follow_window(const module_reg_t &r) {
    if (r.bus == BUS_VQBUS) return vqbus_.follow(r.baddr);
    if (r.bus == BUS_MDIO) return mdio_.follow(r.baddr);
    return true;
  }

  bool selected(const module_reg_t &r) const {
    if (regex_ && !regex_->search(r.name)) return false;
    return section_filter_ <= 0 || section_ == section_filter_;
  }

  // The raw word of the item: read from the card, or the kept word when
  // the item lives in the register read last.
  uint64_t raw_word(const module_reg_list_t *node) {
    const module_reg_t &r = *node->data;
    switch (r.access) {
      case ACCESS_RO:
      case ACCESS_RW:
        if (needs_read(r)) {
          kept_ = read_word(r);
          kept_key_ = key_of(r);
          have_kept_ = true;
        }
        break;
      case ACCESS_CFG:
        if (ovkc_is_ludra_hw && r.params)
          write_reg_value(node, MODE_SET, static_cast<uint64_t>(r.params->value));
        break;
      default:
        break;
    }
    return have_kept_ ? kept_ : 0;
  }

  // Instances of a register repeated at one offset are separate reads of
  // the same place (a FIFO or a counter that clears on read), not bit
  // fields of one word.
  bool needs_read(const module_reg_t &r) const {
    if (r.repeat != 0 && r.incoffset == 0) return true;
    return !(have_kept_ && kept_key_ == key_of(r));
  }

  uint64_t read_word(const module_reg_t &r) {
    int shown_dev = r.bus == BUS_MDIO ? static_cast<int>(r.mdiodev) : last_mdiodev_;
    log_msg(err_msg, 0, "read val: bus %i, baddr %x, offset %x, mdiodev %i\n", r.bus, r.baddr,
            r.offset, shown_dev);
    if (!ovkc_is_ludra_hw) return 0;
    if (r.bus == BUS_VQBUS) return read_vqbus(vqbus_.space, r);
    if (r.bus == BUS_MDIO) return read_mdio(mdio_.space, r);
    return 0;
  }

  int section_filter_;
  const Regex *regex_;
  bool seen_ = false;
  const char *prev_module_ = nullptr;
  int section_ = 0;
  int last_mdiodev_ = -1;
  Window vqbus_{0};
  Window mdio_{16};
  bool have_kept_ = false;
  RegKey kept_key_{};
  uint64_t kept_ = 0;
};

}  // namespace

int read_values(int section, const char *regex) {
  Regex re;
  if (regex && !re.compile(regex)) {
    log_msg(err_msg, 0, "Could not compile regular expression");
    return OVKC_READ_FAILED;
  }
  free_ovkc_value_list(&global_value_list);
  value_sections.clear();
  CardSession card(ovkc_is_ludra_hw);
  if (card.failed()) return OVKC_READ_FAILED;
  ValueListBuilder list;
  std::vector<int32_t> sections;
  // Declared after the session: the walk's windows go back before the
  // card is detached, on every way out.
  Walk walk(section, regex ? &re : nullptr);
  bool complete = walk.run(list, sections);
  global_value_list = list.release();
  value_sections = std::move(sections);
  if (!complete) return OVKC_READ_FAILED;
  return OVKC_OK;
}

CardSession::CardSession(bool hw) {
  if (!hw) return;
  attached_ = vq_attach_noex(&dev, ludra_card) == 0;
  failed_ = !attached_;
  if (failed_) log_msg(err_msg, 1, "vq_attach failed.");
}

CardSession::~CardSession() {
  if (attached_) vq_detach(&dev);
}

int ovkc_init_internal(const char *filename, uint8_t hw) {
  free_config_list(&global_reg_list);
  ovkc_is_ludra_hw = hw;
  std::string path = filename ? find_config(filename) : std::string();
  if (path.empty()) {
    log_msg(err_msg, 0, "Error - cannot find configuration file");
    return OVKC_INIT_NOT_FOUND;
  }
  global_reg_list = load_config(path.c_str());
  if (hw)
    identify_card();
  else
    identify_without_card();
  return global_reg_list ? OVKC_OK : OVKC_INIT_EMPTY;
}

}  // namespace orvik

using namespace orvik;

extern "C" {

int ovkc_init(const char *filename) {
  try {
    return ovkc_init_internal(filename, 1);
  } catch (...) {
    return OVKC_INIT_EMPTY;
  }
}

int ovkc_init_nohw(const char *filename) {
  try {
    return ovkc_init_internal(filename, 0);
  } catch (...) {
    return OVKC_INIT_EMPTY;
  }
}

int ovkc_read_values(void) { return ovkc_read_values_by_module(-1); }

int ovkc_read_values_by_module(int section) {
  try {
    return read_values(section, nullptr);
  } catch (...) {
    return OVKC_READ_FAILED;
  }
}

int ovkc_read_values_by_name(const char *regex) {
  try {
    return read_values(-1, regex);
  } catch (...) {
    return OVKC_READ_FAILED;
  }
}

value_list_t *ovkc_get_datalist(void) { return global_value_list; }

void ovkc_free_datalist(void) {
  free_ovkc_value_list(&global_value_list);
  value_sections.clear();
}

const int32_t *ovkc_get_datalist_sections(void) {
  return global_value_list != nullptr ? value_sections.data() : nullptr;
}

name_list_t *ovkc_get_namelist(void) {
  name_list_t *head = nullptr;
  name_list_t **tail = &head;
  const char *prev = nullptr;
  for (const module_reg_list_t *node = global_reg_list; node; node = node->next) {
    const char *name = node->data->module_name ? node->data->module_name : "";
    if (node != global_reg_list && same_text(name, prev)) continue;
    prev = name;
    auto *entry = static_cast<name_list_t *>(calloc(1, sizeof(name_list_t)));
    char *copy = strdup(name);
    if (entry == nullptr || copy == nullptr) {
      free(entry);
      free(copy);
      break;  // the caller gets the sections listed so far
    }
    entry->name = copy;
    *tail = entry;
    tail = &entry->next;
  }
  return head;
}

void ovkc_free_namelist(name_list_t **list) {
  if (list == nullptr) return;
  while (*list != nullptr) {
    name_list_t *done = *list;
    *list = done->next;
    free(done->name);
    free(done);
  }
}

uint64_t ovkc_conv_bytes2time(uint64_t bytes) {
  // Nanoseconds one byte takes on the card's 10 Gbit/s line: 8 bits at
  // 0.1 ns each.
  constexpr double kNsPerByte = 8 / 10.0;
  return static_cast<uint64_t>(static_cast<double>(bytes) * kNsPerByte);
}

void ovkc_free(void) {
  free_config_list(&global_reg_list);
  ovkc_free_datalist();
  free_identification();
}

}  // extern "C"
