// Equation solver: computes the ACCESS_CNT entries of the value list with a
// five-slot postfix stack computer.
#include <ctype.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log.h"
#include "stat.h"
#include "stat_internal.h"

namespace orvik {
namespace {

char err_msg[kErrMsgSize];

constexpr unsigned kStackSize = 5;

// Finds the entry a name token stands for without scanning the list: an
// entry named exactly like the token wins; otherwise the entry earliest in
// the list whose whole name begins the token.  Built once per solver run;
// it points at the records, whose values the run updates as it goes.
class NameIndex {
 public:
  explicit NameIndex(value_list_t *list) {
    size_t pos = 0;
    for (value_list_t *node = list; node; node = node->next, ++pos) {
      if (node->data == nullptr) continue;
      std::string_view name = node->data->name ? node->data->name : "";
      by_name_.try_emplace(name, Entry{pos, node->data});  // the first of equal names
      if (name.size() >= has_length_.size()) has_length_.resize(name.size() + 1, false);
      has_length_[name.size()] = true;
    }
  }

  value_t *find(std::string_view token) const {
    if (const Entry *e = lookup(token)) return e->value;
    const Entry *best = nullptr;
    size_t longest = std::min(token.size(), has_length_.size());
    for (size_t len = 0; len < longest; ++len) {
      if (!has_length_[len]) continue;
      const Entry *e = lookup(token.substr(0, len));
      if (e && (!best || e->pos < best->pos)) best = e;
    }
    return best ? best->value : nullptr;
  }

 private:
  struct Entry {
    size_t pos;
    value_t *value;
  };

  const Entry *lookup(std::string_view name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : &it->second;
  }

  std::unordered_map<std::string_view, Entry> by_name_;
  std::vector<bool> has_length_;
};

class Evaluator {
 public:
  Evaluator(value_t &entry, const NameIndex &index, const char *equation)
      : entry_(entry), index_(index), equation_(equation) {}

  void token(size_t start, size_t end) {
    std::string_view tok(equation_ + start, end - start);
    if (!tok.empty() && isdigit(static_cast<unsigned char>(tok[0])))
      number(tok, end);
    else if (tok.size() <= 1)
      op(tok.empty() ? '\0' : tok[0]);
    else
      name(tok);
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

  void number(std::string_view tok, size_t end) {
    long long v = 0;
    if (sscanf(std::string(tok).c_str(), "%lli", &v) != 1) {
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

// Splits at commas.  The first token's end is searched from its first
// character, every later token's from its second, so a comma right behind
// a comma belongs to the next token and a leading comma gives one empty
// token; a trailing comma adds nothing.
void for_each_token(const char *eq, Evaluator &ev) {
  std::string_view text(eq);
  size_t start = 0;
  for (bool first = true;; first = false) {
    if (!first && start >= text.size()) return;
    size_t end = text.find(',', first ? start : start + 1);
    if (end == std::string_view::npos) end = text.size();
    ev.token(start, end);
    if (end >= text.size()) return;
    start = end + 1;
  }
}

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
    for_each_token(eq, ev);
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
    NameIndex index(global_value_list);
    // Computing marks an entry done and changes no other entry's access,
    // so one pass in list order meets the equations in the same order as
    // searching again from the head after each one.
    for (value_list_t *node = global_value_list; node; node = node->next)
      if (node->data && node->data->access == ACCESS_CNT) solve_entry(*node->data, index);
  } catch (...) {
    // Out of memory building the index: the equations stay uncomputed.
  }
}
