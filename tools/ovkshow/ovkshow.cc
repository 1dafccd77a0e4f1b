// ovkshow: the card's firmware state on the console.  One run loads the
// design description, then either writes one item or reports: the board
// identification, the item names, the section list, or the decoded values.
#include <err.h>
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "html.h"
#include "raw_access.h"
#include "stat.h"
#include "tessel.h"

namespace {

struct Options {
  std::string file = "addresses.xml";
  int section = 0;  // 0: all sections
  const char *name_regex = nullptr;
  const char *set_name = nullptr;
  bool has_value = false;
  uint64_t value = 0;
  bool identify = false;
  bool list = false;
  bool list_names = false;
  // --peek / --poke: one raw access instead of a report.
  const char *raw_option = nullptr;
  const char *raw_spec = nullptr;
  ovkshow::RawAccess raw;
};

// Long options without a short form.
enum LongOnly { kOptHelp = 256, kOptPeek, kOptPoke };

void usage() {
  static const char *const kLines[][2] = {
      {"-f, --file", "Set configuration file"},
      {"-h, --help", "Show this text"},
      {"-i, --identify", "Print HW identification"},
      {"-l, --list", "Print list of sections only"},
      {"-L, --listname", "Print list of item names"},
      {"-n, --name", "Print items by name matching reges"},
      {nullptr, nullptr},  // the section line has its own layout
      {"-S, --set", "Set value of item"},
      {"-v, --verbose", "Verbose output"},
      {"    --peek vq:BASE:OFFSET", "Read one local-bus word without a description"},
      {"    --peek mdio:BASE:DEV:REG", "Read one MDIO register without a description"},
      {"    --poke SPEC value", "Write one local-bus word or MDIO register (SPEC as --peek)"},
  };
  printf("Usage: ovkshow [-hilLv] [-s value] [-S <name> value] [-n <regex>]\n");
  for (const auto &line : kLines) {
    if (line[0] == nullptr)
      printf("-s, --section\t\t             Section filter - select what section to print out\n");
    else
      printf("%-37s%s\n", line[0], line[1]);
  }
}

// A section number is unsigned decimal digits only; numbers beyond the
// largest section the library can address select nothing, as any number
// past the last section does.
bool parse_section(const char *text, int *section) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (*end != '\0') return false;
  if (errno == ERANGE || v > INT_MAX) v = INT_MAX;
  *section = static_cast<int>(v);
  return true;
}

// The value to write reads like C's "%i" (decimal, 0x hexadecimal, leading-0
// octal, optional sign) and is passed as its 32-bit pattern widened with
// zeros, so -1 writes 0xFFFFFFFF.  Anything after the number is refused:
// a typo must not write a different value into the card.
bool parse_value(const char *text, uint64_t *value) {
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(text, &end, 0);
  if (end == text || *end != '\0' || errno == ERANGE) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// The spec of --peek or --poke and the value operand of --poke; bad input
// ends the run with status 1 before the card is touched.
void read_raw_access(int argc, char **argv, Options *opts) {
  bool poke = strcmp(opts->raw_option, "--poke") == 0;
  if (opts->set_name != nullptr) errx(1, "%s cannot be combined with -S", opts->raw_option);
  if (poke && optind >= argc) errx(1, "--poke needs a value after the options");
  std::string why = ovkshow::parse_raw_access(opts->raw_spec, poke ? argv[optind] : nullptr,
                                              &opts->raw);
  if (!why.empty()) errx(1, "%s: %s", opts->raw_option, why.c_str());
}

// One word or register, read or written; returns the exit status.
int run_raw_access(const Options &opts) {
  uint32_t word = 0;
  std::string why = ovkshow::run_raw_access(opts.raw, &word);
  if (!why.empty()) errx(2, "%s: %s", opts.raw_option, why.c_str());
  if (!opts.raw.write) printf(opts.raw.mdio ? "0x%04X\n" : "0x%08X\n", word);
  return 0;
}

// Returns an exit status to stop with, or -1 to go on.
int read_flags(int argc, char **argv, Options *opts) {
  static const struct option kLong[] = {
      {"file", required_argument, nullptr, 'f'},
      {"section", required_argument, nullptr, 's'},
      {"set", required_argument, nullptr, 'S'},
      {"identify", no_argument, nullptr, 'i'},
      {"list", no_argument, nullptr, 'l'},
      {"listnames", no_argument, nullptr, 'L'},
      {"name", required_argument, nullptr, 'n'},
      {"help", no_argument, nullptr, kOptHelp},
      {"peek", required_argument, nullptr, kOptPeek},
      {"poke", required_argument, nullptr, kOptPoke},
      {"verbose", no_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  int index = 0;
  int c;
  while ((c = getopt_long(argc, argv, "f:s:S:ilLn:hvV", kLong, &index)) != -1) {
    switch (c) {
      case kOptPeek:
      case kOptPoke:
        if (opts->raw_option != nullptr) errx(1, "only one --peek or --poke at a time");
        opts->raw_option = c == kOptPeek ? "--peek" : "--poke";
        opts->raw_spec = optarg;
        break;
      case 'f':
        opts->file = optarg;
        break;
      case 's':
        if (!parse_section(optarg, &opts->section)) {
          if (errno == 0) errno = EINVAL;
          err(1, "parsing section argument");
        }
        break;
      case 'S':
        opts->set_name = optarg;
        break;
      case 'i':
        opts->identify = true;
        break;
      case 'l':
        opts->list = true;
        break;
      case 'L':
        opts->list_names = true;
        break;
      case 'n':
        opts->name_regex = optarg;
        break;
      case 'h':
      case kOptHelp:
        usage();
        return 0;
      case 'v':
        verbose = 0;
        break;
      case 'V':
        verbose = 2;
        break;
      default:  // getopt_long has printed its diagnostic
        return 1;
    }
  }
  if (opts->raw_option != nullptr) {
    read_raw_access(argc, argv, opts);
    return -1;
  }
  if (opts->set_name != nullptr && optind < argc) {
    if (!parse_value(argv[optind], &opts->value)) errx(1, "Error - value is not a number");
    opts->has_value = true;
  }
  return -1;
}

const char *text_or_na(const char *text) { return text != nullptr ? text : "N/A"; }

void print_identification() {
  printf("Identification\n");
  printf("FW version: %u\n", ovkc_fw_version);
  printf("Board name: %s - %s\nIF0: %s (%s)\nIF1: %s (%s)\n", text_or_na(ovkc_board),
         text_or_na(ovkc_board_subtype), text_or_na(ovkc_if0_card), text_or_na(ovkc_if0_chip),
         text_or_na(ovkc_if1_card), text_or_na(ovkc_if1_chip));
}

void print_sections() {
  name_list_t *names = ovkc_get_namelist();
  unsigned n = 1;
  for (const name_list_t *node = names; node != nullptr; node = node->next)
    printf("%u %s\n", n++, node->name);
  ovkc_free_namelist(&names);
}

void print_names() {
  for (const value_list_t *n = ovkc_get_datalist(); n != nullptr; n = n->next)
    printf("%s\t%s\n", n->data->name, n->data->display);
}

void print_value(const value_t *v) {
  if (v->format == FORMAT_HEADER) {
    printf("%s:\n", v->display);
    return;
  }
  printf("%50s:\t", v->display);
  if (v->value == UINT64_MAX) {
    printf("MAX\n");
  } else if (v->status == STATUS_NA) {
    printf("N/A\n");
  } else {
    switch (v->format) {
      case FORMAT_HEX:
        printf("0x%llX\n", static_cast<unsigned long long>(v->value));
        break;
      case FORMAT_BIN: {
        char *bits = nullptr;
        printbits(&bits, v->value);
        printf("%s\n", bits);
        free(bits);
        break;
      }
      case FORMAT_SWITCH:
      case FORMAT_INDICATE:
        printf("%s\n", v->value != 0 ? "ON" : "OFF");
        break;
      case FORMAT_TIMESTAMP: {
        uint32_t sec = 0, nsec = 0;
        tl_interpret_time(&v->value, &sec, &nsec);
        printf("%us%09uns\n", sec, nsec);
        break;
      }
      default:
        printf("%llu\n", static_cast<unsigned long long>(v->value));
        break;
    }
  }
}

void print_values() {
  for (const value_list_t *n = ovkc_get_datalist(); n != nullptr; n = n->next)
    print_value(n->data);
}

// Runs the chosen mode on a loaded library; returns the exit status.
int run_mode(const Options &opts) {
  if (opts.set_name != nullptr) {
    int rc = opts.has_value ? ovkc_change_value(opts.set_name, MODE_SET, opts.value)
                            : ovkc_change_value(opts.set_name, MODE_TOGGLE, 0);
    if (rc != 0) {
      ovkc_free();
      errx(2, "Error - change value was not successful");
    }
    return 0;
  }
  if (opts.identify) {
    printf("Board identification\n");
    print_identification();
    return 0;
  }
  if (opts.list_names) {
    ovkc_read_values();  // also applies the configuration items
    print_names();
    ovkc_free_datalist();
    return 0;
  }
  if (opts.list) {
    ovkc_read_values();
    print_sections();
    print_identification();
    ovkc_free_datalist();
    return 0;
  }
  int rc = opts.name_regex != nullptr ? ovkc_read_values_by_name(opts.name_regex)
                                      : ovkc_read_values_by_module(opts.section);
  if (rc != 0) {
    ovkc_free();
    errx(2, "Error - reading values from hardware");
  }
  ovkc_solver();
  print_values();
  ovkc_free_datalist();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  verbose = -1;
  Options opts;
  int status = read_flags(argc, argv, &opts);
  if (status >= 0) return status;
  if (opts.raw_option != nullptr) return run_raw_access(opts);

  int rc = ovkc_init(opts.file.c_str());
  if (rc == 2) {
    ovkc_free();
    errx(1, "Error - could not open configuration file");
  }
  if (rc != 0) {
    ovkc_free();
    errx(1, "Error - initialisation of ovkc");
  }
  if (verbose >= 0) verbose_msg(0, "loaded configuration");

  status = run_mode(opts);
  ovkc_free();
  return status;
}
