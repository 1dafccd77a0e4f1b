// Simulated card: any bytes as its state file.  A file that attaches must
// survive a round of writes: the detach writes it back, and the file it
// leaves must attach again and hold the written values.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fuzz_common.h"
#include "ludra.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("LUDRA_SIM", orvik_fuzz::scratch_path("card").c_str(), 1);
  unsetenv("LUDRA_SIM_TRACE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &path = orvik_fuzz::scratch_path("card");
  orvik_fuzz::write_bytes(path, data, size);
  std::string text(reinterpret_cast<const char *>(data), size);
  // A live clock can cover the words written below; fail-map can refuse
  // the window.
  bool plain = text.find("clock") == std::string::npos && text.find("fail-map") == std::string::npos;

  vq_dev_t dev = nullptr;
  if (vq_attach_noex(&dev, "/dev/ludrax/0") != 0) {
    FUZZ_CHECK(dev == nullptr);
    return 0;
  }
  FUZZ_CHECK(dev != nullptr);
  const char *id[6] = {};
  vq_identify_cv2(dev, &id[0], &id[1], &id[2], &id[3], &id[4], &id[5]);
  for (const char *s : id) FUZZ_CHECK(s != nullptr);
  uint32_t fw = vq_firmware_get(dev);

  vq_space_t bus = nullptr, mdio = nullptr;
  bool mapped = vq_space_map(dev, &bus, 0, 0, 0, 0) == 0 && vq_space_map(dev, &mdio, 0, 16, 0, 0) == 0;
  if (plain) FUZZ_CHECK(mapped);
  uint32_t old_word = 0;
  if (mapped) {
    old_word = vq_space_read_4(dev, bus, 4);
    vq_space_write_4(dev, bus, 0, 0xA5A5F00Du);
    vq_space_write_4(dev, bus, 4, old_word + 1);
    vq_mdio_write(dev, mdio, 0, 1, 2, 0xBEEF);
  }
  vq_space_unmap(dev, &bus);
  vq_space_unmap(dev, &mdio);
  vq_detach(&dev);
  FUZZ_CHECK(dev == nullptr);

  // What the detach wrote must be a card again.
  FUZZ_CHECK(vq_attach_noex(&dev, "/dev/ludrax/0") == 0);
  FUZZ_CHECK(vq_firmware_get(dev) == fw);
  if (mapped && plain) {
    FUZZ_CHECK(vq_space_map(dev, &bus, 0, 0, 0, 0) == 0);
    FUZZ_CHECK(vq_space_map(dev, &mdio, 0, 16, 0, 0) == 0);
    FUZZ_CHECK(vq_space_read_4(dev, bus, 0) == 0xA5A5F00Du);
    FUZZ_CHECK(vq_space_read_4(dev, bus, 4) == old_word + 1);
    FUZZ_CHECK(vq_mdio_read(dev, mdio, 0, 1, 2) == 0xBEEF);
    vq_space_unmap(dev, &bus);
    vq_space_unmap(dev, &mdio);
  }
  vq_detach(&dev);
  return 0;
}
