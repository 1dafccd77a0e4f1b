// Equation solver: computes the ACCESS_CNT entries of the value list with a
// five-slot postfix stack computer.
#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <functional>
#include <vector>

#include "log.h"
#include "stat.h"
#include "stat_internal.h"

namespace orvik {
namespace {

char err_msg[kErrMsgSize];

constexpr unsigned kStackSize = 5;

std::string_view name_of(const value_t *v) { return v->name ? v->name : ""; }

// Two or more characters, the first not a digit: a name to look up.
bool is_name(std::string_view tok) {
  return tok.size() >= 2 && !isdigit(static_cast<unsigned char>(tok[0]));
}

// Splits at commas and calls fn(start, end) for every token.  The first
// token's end is searched from its first character, every later token's
// from its second, so a comma right behind a comma belongs to the next
// token and a leading comma gives one empty token; a trailing comma adds
// nothing.
template <typename Fn>
void for_each_token(std::string_view text, Fn &&fn) {
  size_t start = 0;
  for (bool first = true;; first = false) {
    if (!first && start >= text.size()) return;
    size_t end = text.find(',', first ? start : start + 1);
    if (end == std::string_view::npos) end = text.size();
    fn(start, end);
    if (end >= text.size()) return;
    start = end + 1;
  }
}

// Open-addressing map from names to T.  Every entry of the value list
// probes it once and most entries are names no equation uses, so a probe
// must mostly end in a small array of one-byte hash tags (an empty tag, or
// tags that differ) without touching the stored names.  Keys are views
// into texts that outlive the map.
template <typename T>
class NameMap {
 public:
  NameMap() : tags_(16), index_(16) {}

  // The value stored for key, made by default first if key is new.
  T &get(std::string_view key) {
    size_t h = hash(key);
    size_t i = home(h);
    for (; tags_[i] != 0; i = next(i))
      if (matches(i, h, key)) return items_[index_[i] - 1].value;
    items_.push_back(Item{key, T{}});
    place(i, h, items_.size());
    if (2 * items_.size() > tags_.size()) grow();
    return items_.back().value;
  }

  T *find(std::string_view key) {
    size_t h = hash(key);
    for (size_t i = home(h); tags_[i] != 0; i = next(i))
      if (matches(i, h, key)) return &items_[index_[i] - 1].value;
    return nullptr;
  }
  const T *find(std::string_view key) const { return const_cast<NameMap *>(this)->find(key); }

  bool empty() const { return items_.empty(); }

  template <typename Fn>
  void for_each(Fn &&fn) {
    for (Item &item : items_) fn(item.key, item.value);
  }

 private:
  struct Item {
    std::string_view key;
    T value;
  };

  static size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }
  // Seven bits of the hash, never 0 (the empty tag).
  static uint8_t tag(size_t h) { return static_cast<uint8_t>(0x80 | (h >> 57)); }
  size_t home(size_t h) const { return h & (tags_.size() - 1); }
  size_t next(size_t i) const { return (i + 1) & (tags_.size() - 1); }
  bool matches(size_t i, size_t h, std::string_view key) const {
    return tags_[i] == tag(h) && items_[index_[i] - 1].key == key;
  }
  void place(size_t i, size_t h, size_t position) {
    tags_[i] = tag(h);
    index_[i] = static_cast<uint32_t>(position);
  }

  void grow() {
    size_t capacity = tags_.size() * 2;
    tags_.assign(capacity, 0);
    index_.assign(capacity, 0);
    for (size_t n = 0; n < items_.size(); ++n) {
      size_t h = hash(items_[n].key);
      size_t i = home(h);
      while (tags_[i] != 0) i = next(i);
      place(i, h, n + 1);
    }
  }

  std::vector<uint8_t> tags_;
  std::vector<uint32_t> index_;  // 1-based position in items_
  std::vector<Item> items_;
};

// Finds the entry a name token stands for without scanning the list for
// every token: an entry named exactly like the token wins; otherwise the
// entry earliest in the list whose whole name begins the token.
//
// The index is keyed by the names the equations use, not by every entry:
// it is built once per solver run from one walk over the list and stays
// small enough to be cheap to probe for every entry.  It points at the
// records, whose values the run updates as it goes.
class NameIndex {
 public:
  // equations receives the ACCESS_CNT entries in list order.
  NameIndex(value_list_t *list, std::vector<value_t *> *equations) {
    std::vector<value_t *> entries;
    for (value_list_t *node = list; node; node = node->next) {
      if (node->data == nullptr) continue;
      entries.push_back(node->data);
      if (node->data->access == ACCESS_CNT) equations->push_back(node->data);
    }
    for (const value_t *e : *equations) want_names_of(e);
    resolve_exact(entries);
    resolve_prefixes(entries);
  }

  value_t *find(std::string_view token) const {
    const Match *m = wanted_.find(token);
    if (m == nullptr) return nullptr;
    return m->exact ? m->exact : m->prefix;
  }

 private:
  struct Match {
    value_t *exact = nullptr;
    value_t *prefix = nullptr;
  };

  void want_names_of(const value_t *e) {
    if (e->params == nullptr || e->params->text == nullptr) return;
    std::string_view text = e->params->text;
    for_each_token(text, [&](size_t start, size_t end) {
      std::string_view tok = text.substr(start, end - start);
      if (is_name(tok)) wanted_.get(tok);
    });
  }

  void resolve_exact(const std::vector<value_t *> &entries) {
    for (value_t *e : entries) {
      std::string_view name = name_of(e);
      if (name.size() >= has_length_.size()) has_length_.resize(name.size() + 1, false);
      has_length_[name.size()] = true;
      Match *m = wanted_.find(name);
      if (m != nullptr && m->exact == nullptr) m->exact = e;
    }
  }

  // Only tokens that name no entry exactly fall back to a prefix, and only
  // prefixes as long as some entry's name can match.
  void resolve_prefixes(const std::vector<value_t *> &entries) {
    NameMap<std::vector<Match *>> by_prefix;
    wanted_.for_each([&](std::string_view tok, Match &match) {
      if (match.exact) return;
      size_t longest = std::min(tok.size(), has_length_.size());
      for (size_t len = 0; len < longest; ++len)
        if (has_length_[len]) by_prefix.get(tok.substr(0, len)).push_back(&match);
    });
    if (by_prefix.empty()) return;
    for (value_t *e : entries) {
      std::vector<Match *> *matches = by_prefix.find(name_of(e));
      if (matches == nullptr) continue;
      for (Match *m : *matches)
        if (m->prefix == nullptr) m->prefix = e;  // the first in list order
    }
  }

  NameMap<Match> wanted_;
  std::vector<bool> has_length_;  // lengths that some entry's name has
};

class Evaluator {
 public:
  Evaluator(value_t &entry, const NameIndex &index, const char *equation)
      : entry_(entry), index_(index), equation_(equation) {}

  void token(size_t start, size_t end) {
    std::string_view tok(equation_ + start, end - start);
    if (!tok.empty() && isdigit(static_cast<unsigned char>(tok[0])))
      number(start, end);
    else if (is_name(tok))
      name(tok);
    else
      op(tok.empty() ? '\0' : tok[0]);
  }

  // The top of the stack; an equation that left nothing has no value and
  // the entry is shown as not available.
  void finish() {
    if (count_ == 0) {
      entry_.value = 0;
      entry_.status = STATUS_NA;
    } else {
      entry_.value = stack_[count_ - 1];
    }
  }

 private:
  void push(uint64_t v) {
    if (count_ == kStackSize) {
      log_msg(err_msg, 2, "Stack overflow");
      return;
    }
    stack_[count_++] = v;
  }

  // Read like "%lli": decimal, 0x hexadecimal or 0 octal, stopping at the
  // first character that does not belong to the number (the comma that
  // ends the token at the latest).
  void number(size_t start, size_t end) {
    char *stop = nullptr;
    long long v = strtoll(equation_ + start, &stop, 0);
    if (stop == equation_ + start) {
      log_msg(err_msg, 1, "Parsing of numeric constant failed (%.*s)", static_cast<int>(end),
              equation_);
      return;
    }
    push(static_cast<uint64_t>(v));
  }

  void name(std::string_view tok) {
    log_msg(err_msg, 2, "load\n");
    log_msg(err_msg, 1, "find val: %.*s\n", static_cast<int>(tok.size()), tok.data());
    const value_t *found = index_.find(tok);
    if (found == nullptr) {
      log_msg(err_msg, 2, "Name '%.*s' was not found in the list", static_cast<int>(tok.size()),
              tok.data());
    } else if (found->access == ACCESS_CNT) {
      log_msg(err_msg, 2, "Unsolved value occured in equation! Using 0!");
      push(0);
    } else {
      push(found->value);
    }
  }

  bool need(unsigned n) {
    if (count_ >= n) return true;
    log_msg(err_msg, 2, "Not enough arguments for binary operation");
    return false;
  }

  void binary(const char *msg, uint64_t (*fn)(uint64_t, uint64_t)) {
    log_msg(err_msg, 2, "%s", msg);
    if (!need(2)) return;
    --count_;
    stack_[count_ - 1] = fn(stack_[count_ - 1], stack_[count_]);
  }

  void divide() {
    log_msg(err_msg, 2, "divide\n");
    if (!need(2)) return;
    uint64_t b = stack_[--count_];
    uint64_t &a = stack_[count_ - 1];
    if (b == 0) {
      a = 0;
      log_msg(err_msg, 2, "Dividing by 0");
      entry_.status = STATUS_NA;
    } else {
      a /= b;
    }
  }

  void shift(const char *msg, bool left) {
    log_msg(err_msg, 2, "%s", msg);
    if (!need(1)) return;
    uint64_t &top = stack_[count_ - 1];
    top = left ? top << 1 : top >> 1;
  }

  void op(char c) {
    switch (c) {
      case '+':
        return binary("plus\n", [](uint64_t a, uint64_t b) { return a + b; });
      case '-':
        return binary("minus\n", [](uint64_t a, uint64_t b) { return a - b; });
      case '*':
        return binary("multiply\n", [](uint64_t a, uint64_t b) { return a * b; });
      case '/':
        return divide();
      case '<':
        return shift("1shift left\n", true);
      case '>':
        return shift("1shift right\n", false);
      default:
        return;  // any other single character is ignored
    }
  }

  value_t &entry_;
  const NameIndex &index_;
  const char *equation_;
  uint64_t stack_[kStackSize] = {};
  unsigned count_ = 0;
};

void solve_entry(value_t &entry, const NameIndex &index) {
  log_msg(err_msg, 2, "initialization of Stack computer - stack size: %u\n", kStackSize);
  if (entry.params == nullptr) {
    log_msg(err_msg, 2, "param is null");
    entry.value = 0;
    entry.status = STATUS_NA;
  } else {
    const char *eq = entry.params->text ? entry.params->text : "";
    entry.status = STATUS_UNDEFINED;
    log_msg(err_msg, 2, "equation: %s\n", eq);
    Evaluator ev(entry, index, eq);
    for_each_token(eq, [&](size_t start, size_t end) { ev.token(start, end); });
    ev.finish();
    if (entry.status == STATUS_UNDEFINED) entry.status = STATUS_VALID;
  }
  entry.access = ACCESS_NONE;
}

}  // namespace
}  // namespace orvik

extern "C" void ovkc_solver(void) {
  using namespace orvik;
  try {
    // Computing marks an entry done and changes no other entry's access,
    // so one pass over the equations in list order meets them in the same
    // order as searching again from the head after each one.
    std::vector<value_t *> equations;
    NameIndex index(global_value_list, &equations);
    for (value_t *entry : equations) solve_entry(*entry, index);
  } catch (...) {
    // Out of memory building the index: the equations stay uncomputed.
  }
}
