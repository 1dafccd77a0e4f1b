// Shared fixture of the register runtime's tests: a simulated card in a
// temporary state file with a trace log, and small design descriptions.
#ifndef ORVIK_STAT_TEST_FIXTURE_H
#define ORVIK_STAT_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "stat.h"
#include "stat_internal.h"
#include "tessel.h"
#include "test_util.h"

namespace orvik_test {

// <item> with name and display; fields is the rest of its XML.
inline std::string item(const std::string &name, const std::string &fields) {
  return "<item><name>" + name + "</name><display>" + name + "</display>" + fields + "</item>";
}

// One module element with its base addresses and items.
inline std::string module(const std::string &header, const std::string &bus,
                          const std::vector<std::string> &bases, const std::string &items) {
  std::string s = "<module header=\"" + header + "\" bus=\"" + bus + "\"><addresses>";
  for (const std::string &b : bases) s += "<address ba=\"" + b + "\"/>";
  return s + "</addresses><items>" + items + "</items></module>";
}

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    card_ = dir_.file("card.sim");
    trace_ = dir_.file("trace");
    write_file(card_, "");
    setenv("LUDRA_SIM", card_.c_str(), 1);
    setenv("LUDRA_SIM_TRACE", trace_.c_str(), 1);
    saved_verbose_ = verbose;
    verbose = -1;
  }
  void TearDown() override {
    ovkc_free();
    verbose = saved_verbose_;
    unsetenv("LUDRA_SIM");
    unsetenv("LUDRA_SIM_TRACE");
  }

  // Writes a design description of one "modules" element holding modules.
  std::string design(const std::string &modules) {
    std::string path = dir_.file("addresses.xml");
    write_file(path, "<?xml version=\"1.0\"?>\n<device><modules>" + modules +
                         "</modules></device>\n");
    return path;
  }

  void init(const std::string &modules) {
    ASSERT_EQ(OVKC_OK, ovkc_init(design(modules).c_str()));
    clear_trace();
  }

  void clear_trace() { write_file(trace_, ""); }

  // Trace lines that begin with prefix.
  int traced(const std::string &prefix) const {
    std::istringstream in(read_file(trace_));
    int n = 0;
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
  }

  static std::vector<std::pair<std::string, uint64_t>> values() {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (value_list_t *n = ovkc_get_datalist(); n; n = n->next)
      out.emplace_back(n->data->name, n->data->value);
    return out;
  }

  TempDir dir_;
  std::string card_;
  std::string trace_;
  int saved_verbose_ = -1;
};

using Values = std::vector<std::pair<std::string, uint64_t>>;

}  // namespace orvik_test

#endif
