// Design description loader: parses addresses.xml with libxml2 and builds
// the register list, one record per item, per repeated instance and per
// module instance.
//
// The loader never stops early except at the root: whatever can be read
// becomes the register list and every irregularity is only reported.  Lists
// are built with a tail pointer so that loading stays linear in the size of
// the description however many modules and instances it holds.
#include <err.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "c_util.h"
#include "log.h"
#include "parser.h"

using orvik::xstrdup;

namespace {

char err_msg[orvik::kErrMsgSize];

// No network access: a description is a local file, and a hostile one must
// not make the card tool fetch anything.  Entities stay unsubstituted as
// with xmlParseFile.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_COMPACT;

struct DocDeleter {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar *text) const { xmlFree(text); }
};
using XmlString = std::unique_ptr<xmlChar, XmlCharDeleter>;

const char *as_text(const xmlChar *text) { return reinterpret_cast<const char *>(text); }

bool is_element(const xmlNode *node) { return node->type == XML_ELEMENT_NODE; }

bool named(const xmlNode *node, const char *name) {
  return is_element(node) && strcmp(as_text(node->name), name) == 0;
}

// The text of an element is the content of its first child node.  Character
// data is borrowed straight from the tree (the common case, and the hot path
// of a large description); anything else is gathered by libxml2.  An element
// without children reads as the empty text.
class ElementText {
 public:
  explicit ElementText(const xmlNode *element) {
    const xmlNode *first = element->children;
    if (first == nullptr) return;
    if ((first->type == XML_TEXT_NODE || first->type == XML_CDATA_SECTION_NODE) &&
        first->content != nullptr) {
      text_ = as_text(first->content);
      return;
    }
    owned_.reset(xmlNodeGetContent(first));
    if (owned_) text_ = as_text(owned_.get());
  }
  const char *c_str() const { return text_; }

 private:
  XmlString owned_;
  const char *text_ = "";
};

// An attribute's value, or absent.  An attribute given without a value reads
// as the empty text.
class AttrText {
 public:
  AttrText(const xmlNode *node, const char *name)
      : value_(xmlGetProp(node, reinterpret_cast<const xmlChar *>(name))) {}
  bool present() const { return value_ != nullptr; }
  const char *c_str() const { return value_ ? as_text(value_.get()) : ""; }

 private:
  XmlString value_;
};

// Number readers with the semantics of the scanf conversions the format
// names (%x, %u, %i, %lli): leading blanks skipped, reading stops at the
// first foreign character, and text that starts with no number leaves the
// field alone.  The 32-bit ones keep the low bits, as scanf does.
bool read_hex32(const char *text, uint32_t *out) {
  char *end;
  unsigned long long v = strtoull(text, &end, 16);
  if (end == text) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool read_dec32(const char *text, uint32_t *out) {
  char *end;
  unsigned long long v = strtoull(text, &end, 10);
  if (end == text) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool read_int64(const char *text, int64_t *out) {
  char *end;
  long long v = strtoll(text, &end, 0);
  if (end == text) return false;
  *out = v;
  return true;
}

bool read_int32(const char *text, int32_t *out) {
  int64_t v;
  if (!read_int64(text, &v)) return false;
  *out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

void replace_text(char **field, const char *text) {
  char *copy = xstrdup(text);
  free(*field);
  *field = copy;
}

// Owns a register list while it is being built and keeps its last node, so
// appending costs nothing however long the list grows.
class RegList {
 public:
  RegList() = default;
  RegList(const RegList &) = delete;
  RegList &operator=(const RegList &) = delete;
  ~RegList() { free_config_list(&head_); }

  // Appends a whole list with the messages of concat_module_list.  Handing
  // it our last node instead of the head keeps it from walking the list.
  void append(module_reg_list_t *other) {
    if (tail_ == nullptr) {
      concat_module_list(&head_, other);
      tail_ = head_;
    } else {
      concat_module_list(&tail_, other);
    }
    settle_tail();
  }

  // Appends one record, taking ownership.
  void push(module_reg_t *reg) {
    module_reg_list_t *node = new_module_reg_list_t();
    node->data = reg;
    if (tail_ == nullptr)
      head_ = node;
    else
      tail_->next = node;
    tail_ = node;
  }

  module_reg_list_t *head() const { return head_; }
  module_reg_list_t **tail_slot() { return &tail_; }

  module_reg_list_t *release() {
    module_reg_list_t *head = head_;
    head_ = tail_ = nullptr;
    return head;
  }

 private:
  void settle_tail() {
    while (tail_ != nullptr && tail_->next != nullptr) tail_ = tail_->next;
  }

  module_reg_list_t *head_ = nullptr;
  module_reg_list_t *tail_ = nullptr;
};

class AddressList {
 public:
  AddressList() = default;
  AddressList(const AddressList &) = delete;
  AddressList &operator=(const AddressList &) = delete;
  ~AddressList() { free_address_list(&head_); }

  void append(address_list_t *list) {
    *tail_ = list;
    while (*tail_ != nullptr) tail_ = &(*tail_)->next;
  }
  const address_list_t *head() const { return head_; }
  address_list_t *release() {
    address_list_t *head = head_;
    head_ = nullptr;
    tail_ = &head_;
    return head;
  }

 private:
  address_list_t *head_ = nullptr;
  address_list_t **tail_ = &head_;
};

// ---- items -------------------------------------------------------------

uint32_t parse_size(const char *text, const module_reg_t *reg) {
  if (strcmp(text, "W") == 0) return SIZE_W;
  if (strcmp(text, "D") == 0) return SIZE_D;
  if (strcmp(text, "S") == 0) return SIZE_S;
  // "size" may come before "name": the name is not known yet then.
  orvik::log_msg(err_msg, 2, "Unknown register size in %s",
                 reg->name ? reg->name : "(unnamed)");
  return SIZE_W;
}

// Only the first two characters count: "RWX" is RW and "CNTR" is CNT, but
// a lone "R" matches nothing.
uint32_t parse_access(const char *text) {
  if (strncmp(text, "RW", 2) == 0) return ACCESS_RW;
  if (strncmp(text, "CN", 2) == 0) return ACCESS_CNT;
  if (strncmp(text, "RO", 2) == 0) return ACCESS_RO;
  if (strncmp(text, "CF", 2) == 0) return ACCESS_CFG;
  return ACCESS_NONE;
}

void parse_repeat(const xmlNode *element, module_reg_t *reg) {
  read_int32(ElementText(element).c_str(), &reg->repeat);
  AttrText inc(element, "incoffset");
  if (inc.present()) read_int32(inc.c_str(), &reg->incoffset);
}

param_t *parse_param(const xmlNode *element) {
  param_t *param = new_param();
  std::unique_ptr<param_t *, void (*)(param_t **)> guard(&param, free_1param);
  AttrText value(element, "value");
  if (value.present()) read_int64(value.c_str(), &param->value);
  AttrText uimg(element, "uimg");
  if (uimg.present()) param->uimg = xstrdup(uimg.c_str());
  AttrText showtext(element, "showtext");
  if (showtext.present() && strcmp(showtext.c_str(), "0") == 0) param->showtext = 0;
  param->text = xstrdup(ElementText(element).c_str());
  guard.release();
  return param;
}

// What an item element has given so far, beyond the record's own fields.
struct ItemProgress {
  bool has_name = false;
  bool has_display = false;
  param_t **params_tail = nullptr;
};

void apply_item_field(const xmlNode *child, module_reg_t *reg, ItemProgress &seen) {
  const char *tag = as_text(child->name);
  if (strcmp(tag, "param") == 0) {
    *seen.params_tail = parse_param(child);
    seen.params_tail = &(*seen.params_tail)->next;
    return;
  }
  if (strcmp(tag, "repeat") == 0) return parse_repeat(child, reg);
  if (strcmp(tag, "comment") == 0) return;

  ElementText text(child);
  if (strcmp(tag, "name") == 0) {
    replace_text(&reg->name, text.c_str());
    seen.has_name = true;
  } else if (strcmp(tag, "display") == 0) {
    replace_text(&reg->display, text.c_str());
    seen.has_display = true;
  } else if (strcmp(tag, "offset") == 0) {
    read_hex32(text.c_str(), &reg->offset);
  } else if (strcmp(tag, "bitmask") == 0) {
    read_hex32(text.c_str(), &reg->bitmask);
  } else if (strcmp(tag, "mdiodev") == 0) {
    read_dec32(text.c_str(), &reg->mdiodev);
  } else if (strcmp(tag, "size") == 0) {
    reg->size = parse_size(text.c_str(), reg);
  } else if (strcmp(tag, "access") == 0) {
    reg->access = parse_access(text.c_str());
  } else if (strcmp(tag, "format") == 0) {
    reg->format = parse_format(text.c_str());
  } else {
    orvik::log_msg(err_msg, 2, "unused parameter %s: %s\n", tag, text.c_str());
  }
}

// Decides what becomes of a filled record: an item with neither name nor
// display is dropped, one with only one of them is kept with the other as
// the empty text (every copy and every front end needs all three texts).
module_reg_t *finish_item(module_reg_t *reg, const ItemProgress &seen) {
  if (!seen.has_name && !seen.has_display) {
    free_module_reg(&reg);
    return nullptr;
  }
  if (!seen.has_name || !seen.has_display) {
    orvik::log_msg(err_msg, 2,
                   "Configuration file is probably malformed - some item is not set");
    if (!seen.has_name) reg->name = xstrdup("");
    if (!seen.has_display) reg->display = xstrdup("");
  }
  return reg;
}

// ---- modules -----------------------------------------------------------

const xmlNode *find_child(const xmlNode *parent, const char *name) {
  for (const xmlNode *c = parent->children; c != nullptr; c = c->next)
    if (named(c, name)) return c;
  return nullptr;
}

// The bus and header of a module element carry over to the next module of
// the same "modules" element when that one does not name its own.
struct ModuleDefaults {
  int32_t bus = BUS_VQBUS;
  std::optional<std::string> header;

  void update(const xmlNode *module) {
    AttrText bus_attr(module, "bus");
    if (bus_attr.present()) bus = reg_type_val(bus_attr.c_str());
    AttrText header_attr(module, "header");
    if (header_attr.present()) header = header_attr.c_str();
  }
  const char *header_text() const { return header ? header->c_str() : nullptr; }
};

module_reg_list_t *build_module(xmlNode *module, const ModuleDefaults &defaults) {
  AddressList addresses;
  for (xmlNode *c = module->children; c != nullptr; c = c->next)
    if (named(c, "addresses")) addresses.append(get_addresses(c));
  module_reg_list_t *list = parse_module_tag(module, defaults.bus, defaults.header_text());
  map_modules(list, addresses.head());
  return list;
}

void print_attributes(const xmlNode *node) {
  for (const xmlAttr *a = node->properties; a != nullptr; a = a->next) {
    XmlString value(xmlNodeListGetString(node->doc, a->children, 1));
    orvik::log_msg(err_msg, 2, "%s:%s\n", as_text(a->name),
                   value ? as_text(value.get()) : "");
  }
}

void print_node(const xmlNode *node) {
  if (is_element(node)) {
    orvik::log_msg(err_msg, 1, "node type: Element, name: %s\n", as_text(node->name));
    if (orvik::log_enabled(2)) print_attributes(node);
  } else if (node->type == XML_TEXT_NODE && node->parent != nullptr &&
             named(node->parent, "param")) {
    orvik::log_msg(err_msg, 2, "node type: text, name: %s\n",
                   node->content ? as_text(node->content) : "");
  }
}

}  // namespace

extern "C" {

int32_t reg_type_val(const char *text) {
  if (text == nullptr) text = "";
  if (strncmp(text, "VQBUS", 5) == 0) return BUS_VQBUS;
  if (strncmp(text, "MDIO", 4) == 0) return BUS_MDIO;
  orvik::log_msg(err_msg, 2, "Unknown BUS type '%s', using VQBUS", text);
  return BUS_VQBUS;
}

uint32_t parse_format(const char *text) {
  // The first keyword the text begins with wins, in this order; so
  // HEXADECIMAL is HEX and CONFIGURATION is CONFIG.
  static constexpr struct {
    const char *keyword;
    uint32_t code;
  } kFormats[] = {
      {"HEX", FORMAT_HEX},         {"BIN", FORMAT_BIN},
      {"DEC", FORMAT_DEC},         {"SWITCH", FORMAT_SWITCH},
      {"HIST", FORMAT_HIST},       {"INDICATE", FORMAT_INDICATE},
      {"TIMESTAMP", FORMAT_TIMESTAMP}, {"HEADER", FORMAT_HEADER},
      {"VSWITCH", FORMAT_VSWITCH}, {"VINDICATE", FORMAT_VINDICATE},
      {"ENUM", FORMAT_ENUM},       {"CONFIG", FORMAT_CONFIG},
  };
  if (text == nullptr) return FORMAT_UNKNOWN;
  for (const auto &f : kFormats)
    if (strncmp(text, f.keyword, strlen(f.keyword)) == 0) return f.code;
  return FORMAT_UNKNOWN;
}

address_list_t *get_addresses(xmlNode *addresses) try {
  if (addresses == nullptr) return nullptr;
  AddressList list;
  for (const xmlNode *c = addresses->children; c != nullptr; c = c->next) {
    if (!named(c, "address")) continue;
    AttrText ba(c, "ba");
    if (!ba.present()) continue;
    orvik::log_msg(err_msg, 1, "ba: %s\n", ba.c_str());
    int64_t address;
    if (!read_int64(ba.c_str(), &address)) {
      orvik::log_msg(err_msg, 2, "Cannot parse base address '%s'", ba.c_str());
      continue;
    }
    orvik::log_msg(err_msg, 1, "addresses tag: %llx\n",
                   static_cast<unsigned long long>(address));
    list.append(create_address_list(static_cast<uint64_t>(address)));
  }
  return list.release();
} catch (...) {
  return nullptr;
}

module_reg_t *parse_item_tag(xmlNode *item, int32_t bus, const char *header) try {
  if (item == nullptr || !named(item, "item")) return nullptr;
  module_reg_t *reg = new_module_reg_t();
  std::unique_ptr<module_reg_t *, void (*)(module_reg_t **)> guard(&reg, free_module_reg);
  reg->bus = bus;
  reg->module_name = xstrdup(header ? header : "");
  ItemProgress seen;
  seen.params_tail = &reg->params;
  for (const xmlNode *c = item->children; c != nullptr; c = c->next)
    if (is_element(c)) apply_item_field(c, reg, seen);
  guard.release();
  return finish_item(reg, seen);
} catch (...) {
  return nullptr;
}

// A heading is no register: it is never read (access NONE), and its offset
// is the last byte of the 24-bit local-bus offset space, a place no word of
// a module window starts at, so a heading never shares a register's key.
constexpr uint32_t kHeadingOffset = 0xFFFFFF;

module_reg_t *create_header(module_reg_t *item) {
  if (item == nullptr || item->params == nullptr) return nullptr;
  module_reg_t *heading = copy_reg(item);
  param_t *first = item->params;
  replace_text(&heading->display, first->text ? first->text : "");
  heading->format = FORMAT_HEADER;
  heading->repeat = 0;
  heading->access = ACCESS_NONE;
  heading->offset = kHeadingOffset;
  item->params = first->next;
  free_1param(&first);
  return heading;
}

// Most instances one item may have; far more than any register file holds.
constexpr int32_t kMaxRepeat = 1 << 16;

void check_repeat(module_reg_list_t **tail) {
  if (tail == nullptr || *tail == nullptr || (*tail)->data == nullptr) return;
  module_reg_t *first = (*tail)->data;
  const int32_t count = first->repeat;
  if (count == 0 || count == -1) {
    first->repeat = 0;
    return;
  }
  if (count < -1 || count > kMaxRepeat) {
    // As an unsigned count this would ask for billions of instances: one
    // line of a description must not exhaust the memory of the tools.
    orvik::log_msg(err_msg, 2, "Invalid repeat count %i in %s, using 0", count,
                   first->name ? first->name : "(unnamed)");
    first->repeat = 0;
    return;
  }
  module_reg_t *tmpl = copy_reg(first);
  module_reg_list_t tmpl_node = {tmpl, nullptr};  // for get_bus_interval
  module_reg_list_t *last = *tail;
  // 64-bit counter: a count of INT32_MAX must not overflow the loop.
  for (int64_t k = 1; k <= count; ++k) {
    module_reg_t *inst = first;
    if (k > 1) {
      inst = copy_reg(tmpl);
      // Instance k lies k steps after instance 1; the product wraps like
      // the 32-bit arithmetic the address maps were written for.
      int32_t steps = static_cast<int32_t>(static_cast<uint32_t>(k) *
                                           static_cast<uint32_t>(tmpl->incoffset));
      inst->offset = static_cast<uint32_t>(tmpl->offset + get_bus_interval(&tmpl_node, steps));
      module_reg_list_t *node = new_module_reg_list_t();
      node->data = inst;
      last->next = node;
      last = node;
    }
    if (tmpl->params != nullptr && tmpl->params->text != nullptr) {
      param_t *label = tmpl->params;
      replace_text(&inst->display, label->text);
      tmpl->params = label->next;
      free_1param(&label);
    } else {
      index_string(&inst->display, static_cast<int32_t>(k), ' ');
    }
    index_string(&inst->name, static_cast<int32_t>(k), '-');
  }
  free_module_reg(&tmpl);
  first->repeat = 0;
  *tail = last;
}

void map_modules(module_reg_list_t *list, const address_list_t *addresses) {
  if (addresses == nullptr) {
    orvik::log_msg(err_msg, 2, "Error - missing base addresses");
    return;
  }
  if (list == nullptr) return;
  size_t first_len = 0;
  module_reg_list_t *last = list;
  for (module_reg_list_t *n = list; n != nullptr; n = n->next) {
    n->data->baddr = static_cast<uint32_t>(addresses->address);
    last = n;
    ++first_len;
  }
  int32_t k = 2;
  for (const address_list_t *a = addresses->next; a != nullptr; a = a->next, ++k) {
    module_reg_list_t *src = list;
    for (size_t i = 0; i < first_len; ++i, src = src->next) {
      module_reg_t *copy = copy_reg(src->data);
      copy->baddr = static_cast<uint32_t>(a->address);
      index_string(&copy->name, k, '~');
      index_string(&copy->module_name, k, ' ');
      module_reg_list_t *node = new_module_reg_list_t();
      node->data = copy;
      last->next = node;
      last = node;
    }
  }
}

module_reg_list_t *parse_module_tag(xmlNode *module, int32_t bus, const char *header) try {
  if (module == nullptr) return nullptr;
  const xmlNode *items = find_child(module, "items");
  if (items == nullptr) {
    orvik::log_msg(err_msg, 2, "module without items\n");
    return nullptr;
  }
  if (items->children == nullptr) {
    orvik::log_msg(err_msg, 2, "items without children\n");
    return nullptr;
  }
  RegList list;
  for (xmlNode *c = items->children; c != nullptr; c = c->next) {
    if (!is_element(c)) continue;
    module_reg_t *reg = parse_item_tag(c, bus, header);
    if (reg == nullptr) {
      orvik::log_msg(err_msg, 2, "skipped an element of items that gives no record\n");
      continue;
    }
    if (reg->format == FORMAT_HIST && reg->params != nullptr) {
      module_reg_t *heading = create_header(reg);
      if (heading != nullptr) list.push(heading);
    }
    list.push(reg);
    check_repeat(list.tail_slot());
  }
  return list.release();
} catch (...) {
  return nullptr;
}

module_reg_list_t *parse_modules_tag(xmlNode *modules) try {
  if (modules == nullptr) return nullptr;
  orvik::log_msg(err_msg, 1, "module: %s\n", as_text(modules->name));
  RegList result;
  ModuleDefaults defaults;
  for (xmlNode *m = modules->children; m != nullptr; m = m->next) {
    if (!is_element(m)) continue;
    defaults.update(m);
    result.append(build_module(m, defaults));
  }
  return result.release();
} catch (...) {
  return nullptr;
}

module_reg_list_t *load_xml_config(xmlNode *root) try {
  if (root == nullptr) return nullptr;
  if (!named(root, "device")) {
    orvik::log_msg(err_msg, 2, "Invalid root tag %s", as_text(root->name));
    return nullptr;
  }
  // The table grows: a description may hold any number of groups.
  std::vector<xmlNode *> groups;
  for (xmlNode *c = root->children; c != nullptr; c = c->next) {
    if (!is_element(c)) continue;
    if (named(c, "modules")) {
      orvik::log_msg(err_msg, 0, "found %s", as_text(c->name));
      groups.push_back(c);
    } else {
      orvik::log_msg(err_msg, 2, "Expected tag modules not found, '%s' found instead.",
                     as_text(c->name));
    }
  }
  orvik::log_msg(err_msg, 0, "found %u modules", static_cast<unsigned>(groups.size()));
  // Later groups come first in the register list.
  RegList result;
  for (auto it = groups.rbegin(); it != groups.rend(); ++it)
    result.append(parse_modules_tag(*it));
  return result.release();
} catch (...) {
  return nullptr;
}

module_reg_list_t *load_config(const char *filename) try {
  if (filename == nullptr) return nullptr;
  module_reg_list_t *list = nullptr;
  {
    DocPtr doc(xmlReadFile(filename, nullptr, kParseOptions));
    xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (root != nullptr) list = load_xml_config(root);
  }
  // The loader is the process's only libxml2 user; release its globals so
  // a long-lived front end does not keep them.
  xmlCleanupParser();
  return list;
} catch (...) {
  xmlCleanupParser();
  return nullptr;
}

void print_element_names(xmlNode *node) try {
  for (; node != nullptr; node = node->next) {
    print_node(node);
    print_element_names(node->children);
  }
} catch (...) {
}

}  // extern "C"
