// Inputs that once broke a module, found by fuzzing or by the bad-input
// corpus, run against the module alone.
#include <gtest/gtest.h>

#include <string>

#include "parser.h"
#include "test_util.h"

namespace {

using orvik_test::TempDir;
using orvik_test::write_file;

size_t count_records(const module_reg_list_t *list) {
  size_t n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}

std::string repeated_item(const std::string &count) {
  return "<device><modules><m header=\"M\"><addresses><address ba=\"0x10\"/></addresses>"
         "<items><item><name>r</name><display>R</display><repeat incoffset=\"1\">" + count +
         "</repeat></item></items></m></modules></device>";
}

// A repeat count of 2^31-1 made the loader copy the item until the memory
// ran out.  Counts beyond 65536 are refused like negative ones: the item
// stays, once.
TEST(LoaderRegression, HugeRepeatCountKeepsOneInstance) {
  TempDir dir;
  for (const char *count : {"2147483647", "0x7fffffff", "99999999999", "65537"}) {
    write_file(dir.file("d.xml"), repeated_item(count));
    module_reg_list_t *list = load_config(dir.file("d.xml").c_str());
    ASSERT_EQ(count_records(list), 1u) << count;
    EXPECT_STREQ(list->data->name, "r") << count;
    EXPECT_EQ(list->data->repeat, 0) << count;
    free_config_list(&list);
  }
  write_file(dir.file("d.xml"), repeated_item("65536"));
  module_reg_list_t *list = load_config(dir.file("d.xml").c_str());
  EXPECT_EQ(count_records(list), 65536u);
  free_config_list(&list);
}

}  // namespace
