// Design description loader: any text as addresses.xml.  The register list
// that comes back must hold complete records and be freed without a trace.
#include <stddef.h>
#include <stdint.h>

#include <libxml/xmlerror.h>

#include "fuzz_common.h"
#include "parser.h"

namespace {
// libxml2 reports parse errors itself; they would drown the fuzzer's log.
void drop_generic(void *, const char *, ...) {}
void drop_structured(void *, xmlErrorPtr) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &path = orvik_fuzz::scratch_path("xml");
  orvik_fuzz::write_bytes(path, data, size);

  xmlSetGenericErrorFunc(nullptr, drop_generic);
  xmlSetStructuredErrorFunc(nullptr, drop_structured);
  module_reg_list_t *list = load_config(path.c_str());
  for (module_reg_list_t *n = list; n != nullptr; n = n->next) {
    FUZZ_CHECK(n->data != nullptr);
    const module_reg_t *r = n->data;
    // A kept record always has its module name; name and display may be
    // missing only together with a "probably malformed" message.
    FUZZ_CHECK(r->module_name != nullptr);
    FUZZ_CHECK(r->name != nullptr || r->display != nullptr);
    FUZZ_CHECK(r->bus == BUS_VQBUS || r->bus == BUS_MDIO);
    FUZZ_CHECK(r->format <= FORMAT_UNKNOWN);
    FUZZ_CHECK(r->access <= ACCESS_CFG);
    FUZZ_CHECK(r->size <= SIZE_S);
  }
  free_config_list(&list);
  FUZZ_CHECK(list == nullptr);
  return 0;
}
