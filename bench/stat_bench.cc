// Benchmark of the register runtime: generates a large design description
// and times initialisation, the read walk and the equation solver against
// the simulated card named by LUDRA_SIM.
//
//   stat_bench gen <design.xml> <card.sim> <items> <equations>
//   stat_bench run <design.xml>            init + read + solve once
//   stat_bench solve <design.xml> <runs>   best solver time of runs reads
//   stat_bench cpu <program> <args>...     processor time of one run of it
//
// Times are processor seconds, printed on standard output: the machine may
// be shared, and the figures compare work, not waiting.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "stat.h"

namespace {

constexpr int kItemsPerModule = 100;

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string item_name(int module, int item) {
  return "m" + std::to_string(module) + "_i" + std::to_string(item);
}

// Two bit fields per register; every stride-th item is an equation over
// the two items before it and, now and then, the equation before that.
void write_item(FILE *f, int module, int i, int stride) {
  std::string name = item_name(module, i);
  fprintf(f, "<item><name>%s</name><display>Item %d</display>", name.c_str(), i);
  if (stride > 0 && i % stride == stride - 1 && i >= 2) {
    std::string eq = item_name(module, i - 1) + "," + item_name(module, i - 2) + ",+,3,*";
    if (i >= stride + 2) eq += "," + item_name(module, i - stride) + ",-";
    fprintf(f, "<access>CNT</access><format>DEC</format><param>%s</param></item>\n", eq.c_str());
    return;
  }
  fprintf(f,
          "<offset>%x</offset><bitmask>%s</bitmask><access>RO</access>"
          "<format>DEC</format></item>\n",
          (i / 2) * 4, i % 2 ? "FFFF0000" : "0000FFFF");
}

int generate(const char *design, const char *card, int items, int equations) {
  FILE *f = fopen(design, "w");
  FILE *c = fopen(card, "w");
  if (!f || !c) {
    perror("stat_bench: gen");
    return 1;
  }
  int stride = equations > 0 ? items / equations : 0;
  fputs("<?xml version=\"1.0\"?>\n<device>\n<modules>\n", f);
  for (int m = 0; m * kItemsPerModule < items; ++m) {
    unsigned base = 0x100000u + static_cast<unsigned>(m) * 0x1000u;
    fprintf(f, "<mod bus=\"VQBUS\" header=\"MOD%d\"><addresses><address ba=\"0x%x\"/></addresses>"
               "<items>\n", m, base);
    for (int i = 0; i < kItemsPerModule && m * kItemsPerModule + i < items; ++i)
      write_item(f, m, i, stride);
    fputs("</items></mod>\n", f);
    fprintf(c, "vq 0x%x 0x0 0x%x\n", base, 0x10001u * static_cast<unsigned>(m % 1000));
  }
  fputs("</modules>\n</device>\n", f);
  fclose(f);
  fclose(c);
  return 0;
}

int run(const char *design) {
  double t0 = now();
  if (ovkc_init(design) != OVKC_OK || ovkc_read_values() != OVKC_OK) {
    fprintf(stderr, "stat_bench: cannot read %s against the card\n", design);
    return 1;
  }
  ovkc_solver();
  double t1 = now();
  ovkc_free();
  printf("%.6f\n", t1 - t0);
  return 0;
}

int solve(const char *design, int runs) {
  if (ovkc_init(design) != OVKC_OK) return 1;
  double best = 1e9;
  for (int r = 0; r < runs; ++r) {
    if (ovkc_read_values() != OVKC_OK) return 1;
    double t0 = now();
    ovkc_solver();
    double t = now() - t0;
    if (t < best) best = t;
  }
  ovkc_free();
  printf("%.6f\n", best);
  return 0;
}

// Runs argv as a child, its output discarded, and prints its user plus
// system time.
int cpu(char **argv) {
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "stat_bench: %s failed\n", argv[0]);
    return 1;
  }
  auto secs = [](const struct timeval &tv) { return tv.tv_sec + tv.tv_usec * 1e-6; };
  printf("%.6f\n", secs(ru.ru_utime) + secs(ru.ru_stime));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "gen" && argc == 6) return generate(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
  if (mode == "run" && argc == 3) return run(argv[2]);
  if (mode == "solve" && argc == 4) return solve(argv[2], atoi(argv[3]));
  if (mode == "cpu" && argc > 2) return cpu(argv + 2);
  fprintf(stderr,
          "usage: stat_bench gen <design.xml> <card.sim> <items> <equations>\n"
          "       stat_bench run <design.xml>\n"
          "       stat_bench solve <design.xml> <runs>\n"
          "       stat_bench cpu <program> <args>...\n");
  return 2;
}
