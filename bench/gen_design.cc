// Writes a synthetic design description of N items for the loader
// benchmark: groups of modules on both buses, one to three base addresses
// per module, registers split into bit fields, enumerations with images,
// equation and configuration items, histograms and a few repeats, laid out
// and commented like a hand-written description.
//
// Usage: gen_design N OUTPUT
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

namespace {

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

// Small deterministic generator: the same N always gives the same file.
class Rng {
 public:
  unsigned next(unsigned bound) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>(state_ >> 33) % bound;
  }

 private:
  unsigned long long state_ = 42;
};

const char *const kFormats[] = {"HEX", "DEC", "BIN", "SWITCH", "INDICATE", "VINDICATE", "DEC"};

void write_item(FILE *out, Rng &rng, bool mdio, int module, int index, unsigned offset) {
  fprintf(out, "        <item>\n          <name>m%d_reg%d</name>\n", module, index);
  fprintf(out, "          <display>Register %d of module %d</display>\n", index, module);
  fprintf(out, "          <offset>0x%x</offset>\n", offset);
  if (mdio) fprintf(out, "          <mdiodev>%u</mdiodev>\n", 1 + rng.next(4));
  unsigned kind = rng.next(20);
  if (kind < 8) fprintf(out, "          <bitmask>%x</bitmask>\n", 1u << rng.next(16));
  const char *access = kind == 19 ? "CNT" : kind == 18 ? "CFG" : rng.next(3) ? "RO" : "RW";
  fprintf(out, "          <access>%s</access>\n", access);
  if (kind == 19) {
    fprintf(out, "          <format>DEC</format>\n          <param>m%d_reg0,m%d_reg1,+</param>\n",
            module, module);
  } else if (kind == 18) {
    fprintf(out, "          <format>CONFIG</format>\n          <param value=\"%u\">on</param>\n",
            rng.next(2));
  } else if (kind >= 15) {
    fprintf(out, "          <format>ENUM</format>\n");
    fprintf(out, "          <param value=\"0\" uimg=\"/images/indicate_down.gif\" "
                 "showtext=\"0\">down</param>\n");
    fprintf(out, "          <param value=\"1\" uimg=\"/images/indicate_up.gif\">up</param>\n");
    fprintf(out, "          <param value=\"2\">testing</param>\n");
  } else if (kind == 14) {
    fprintf(out, "          <format>HIST</format>\n          <repeat incoffset=\"1\">2</repeat>\n");
    fprintf(out, "          <param>Histogram %d</param>\n          <param>short</param>\n"
                 "          <param>long</param>\n", index);
  } else if (kind == 13) {
    fprintf(out, "          <size>D</size>\n          <format>DEC</format>\n");
    fprintf(out, "          <comment>64-bit counter, low word first</comment>\n");
  } else {
    fprintf(out, "          <format>%s</format>\n", kFormats[rng.next(7)]);
  }
  fprintf(out, "        </item>\n");
}

void write_module(FILE *out, Rng &rng, int module, int items) {
  const bool mdio = rng.next(4) == 0;
  fprintf(out, "    <!-- module %d: %d items -->\n", module, items);
  fprintf(out, "    <mod%d bus=\"%s\" header=\"Module %d\">\n      <addresses>\n", module,
          mdio ? "MDIO" : "VQBUS", module);
  unsigned instances = 1 + rng.next(3);
  for (unsigned a = 0; a < instances; ++a)
    fprintf(out, "        <address ba=\"0x%x\"/>\n", (module << 16) + (a << 12));
  fprintf(out, "      </addresses>\n      <items>\n");
  unsigned offset = 0;
  for (int i = 0; i < items; ++i) {
    write_item(out, rng, mdio, module, i, offset);
    // Bit fields share a register now and then.
    if (rng.next(3)) offset += mdio ? 1 : 4;
  }
  fprintf(out, "      </items>\n    </mod%d>\n", module);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: gen_design N OUTPUT\n");
    return 2;
  }
  char *end;
  long n = strtol(argv[1], &end, 10);
  if (*end != '\0' || n < 0) {
    fprintf(stderr, "gen_design: bad item count '%s'\n", argv[1]);
    return 2;
  }
  std::unique_ptr<FILE, FileCloser> out(fopen(argv[2], "w"));
  if (!out) {
    perror(argv[2]);
    return 1;
  }
  Rng rng;
  fprintf(out.get(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated: %ld items -->\n"
                     "<device>\n", n);
  long written = 0;
  int module = 0;
  while (written < n) {
    fprintf(out.get(), "  <modules>\n");
    for (int m = 0; m < 8 && written < n; ++m, ++module) {
      long items = std::min<long>(20 + rng.next(41), n - written);
      write_module(out.get(), rng, module, static_cast<int>(items));
      written += items;
    }
    fprintf(out.get(), "  </modules>\n");
  }
  fprintf(out.get(), "</device>\n");
  if (ferror(out.get()) || fclose(out.release()) != 0) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}
