// Times one load_config of a design description and prints the elapsed
// seconds (and, on standard error, how many records it gave).
//
// Usage: load_bench FILE
#include <stdio.h>

#include <chrono>

#include "parser.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: load_bench FILE\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  module_reg_list_t *list = load_config(argv[1]);
  // Releasing the list is part of what a front end pays for a load.
  size_t records = 0;
  for (const module_reg_list_t *n = list; n != nullptr; n = n->next) ++records;
  free_config_list(&list);
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (records == 0) {
    fprintf(stderr, "load_bench: %s gave no records\n", argv[1]);
    return 1;
  }
  fprintf(stderr, "load_bench: %zu records\n", records);
  printf("%.6f\n", elapsed.count());
  return 0;
}
