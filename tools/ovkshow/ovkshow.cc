// ovkshow: the card's firmware state on the console.  One run loads the
// design description, then either writes one item or reports: the board
// identification, the item names, the section list, or the decoded values.
#include <getopt.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "html.h"
#include "raw_access.h"
#include "stat.h"
#include "status_format.h"
#include "tessel.h"

namespace {

using orvik_cli::fatal;
using orvik_cli::fatal_errno;

enum class Output { kText, kJson, kPrometheus };

// Longest interval a watch accepts: far beyond any use, and well inside
// what a timespec holds.
constexpr double kMaxWatchSeconds = 1e9;

// Long options without a short form.
enum LongOnly { kOptHelp = 256, kOptPeek, kOptPoke, kOptJson, kOptPrometheus };

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
  const char *raw_address = nullptr;
  ovkshow::RawAccess raw;
  bool json = false;
  bool prometheus = false;
  double watch_seconds = 0;  // 0: one round
};

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
      {"    --poke ADDRESS value", "Write one local-bus word or MDIO register (ADDRESS as --peek)"},
      {"-w, --watch SECONDS", "Repeat the report every SECONDS until interrupted"},
      {"    --json", "Print the report as one JSON document"},
      {"    --prometheus", "Print the values in the Prometheus text format"},
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
  uint64_t v = 0;
  if (!orvik_cli::parse_unsigned(text, false, INT_MAX, true, &v)) return false;
  *section = static_cast<int>(v);
  return true;
}

// The value to write reads like C's "%i" (decimal, 0x hexadecimal, leading-0
// octal, optional sign) and is passed as its 32-bit pattern widened with
// zeros, so -1 writes 0xFFFFFFFF.  Anything after the number is refused:
// a typo must not write a different value into the card.
bool parse_value(const char *text, uint64_t *value) {
  uint64_t v = 0;
  if (!orvik_cli::parse_c_number(text, orvik_cli::Range::kSigned, false, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// The address of --peek or --poke and the value operand of --poke; bad input
// ends the run with status 1 before the card is touched.
void read_raw_access(int argc, char **argv, Options *opts) {
  bool poke = strcmp(opts->raw_option, "--poke") == 0;
  if (opts->set_name != nullptr) fatal(1, "%s cannot be combined with -S", opts->raw_option);
  if (poke && optind >= argc) fatal(1, "--poke needs a value after the options");
  std::string why = ovkshow::parse_raw_access(opts->raw_address, poke ? argv[optind] : nullptr,
                                              &opts->raw);
  if (!why.empty()) fatal(1, "%s: %s", opts->raw_option, why.c_str());
}

// One word or register, read or written; returns the exit status.
int run_raw_access(const Options &opts) {
  uint32_t word = 0;
  std::string why = ovkshow::run_raw_access(opts.raw, &word);
  if (!why.empty()) fatal(2, "%s: %s", opts.raw_option, why.c_str());
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
      {"watch", required_argument, nullptr, 'w'},
      {"json", no_argument, nullptr, kOptJson},
      {"prometheus", no_argument, nullptr, kOptPrometheus},
      {nullptr, 0, nullptr, 0},
  };
  int index = 0;
  int c;
  while ((c = getopt_long(argc, argv, "f:s:S:ilLn:hvVw:", kLong, &index)) != -1) {
    switch (c) {
      case kOptPeek:
      case kOptPoke:
        if (opts->raw_option != nullptr) fatal(1, "only one --peek or --poke at a time");
        opts->raw_option = c == kOptPeek ? "--peek" : "--poke";
        opts->raw_address = optarg;
        break;
      case 'f':
        opts->file = optarg;
        break;
      case 's':
        if (!parse_section(optarg, &opts->section))
          fatal_errno(1, "parsing section argument");
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
      case 'w':
        if (!orvik_cli::parse_positive(optarg, kMaxWatchSeconds, &opts->watch_seconds))
          fatal(1, "Error - watch interval is not a positive number of seconds: %s",
                optarg);
        break;
      case kOptJson:
        opts->json = true;
        break;
      case kOptPrometheus:
        opts->prometheus = true;
        break;
      default:  // getopt_long has printed its diagnostic
        return 1;
    }
  }
  if (opts->json && opts->prometheus)
    fatal(1, "Error - --json and --prometheus exclude each other");
  if (opts->raw_option != nullptr) {
    read_raw_access(argc, argv, opts);
    return -1;
  }
  if (opts->set_name != nullptr && optind < argc) {
    if (!parse_value(argv[optind], &opts->value)) fatal(1, "Error - value is not a number");
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

// With rates, a counting item's change per second follows its value.
void print_value(const value_t *v, const orvik_status::Rates *rates = nullptr) {
  if (v->format == FORMAT_HEADER) {
    printf("%s:\n", v->display);
    return;
  }
  printf("%50s:\t%s", v->display, orvik_status::value_text(*v).c_str());
  double per_second = 0;
  if (rates != nullptr && rates->rate(*v, &per_second)) printf("\t%+.2f/s", per_second);
  printf("\n");
}

void print_values(const orvik_status::Rates *rates = nullptr) {
  for (const value_list_t *n = ovkc_get_datalist(); n != nullptr; n = n->next)
    print_value(n->data, rates);
}

Output output_of(const Options &opts) {
  if (opts.json) return Output::kJson;
  if (opts.prometheus) return Output::kPrometheus;
  return Output::kText;
}

// The values of the report mode, read afresh and solved; exits with status
// 2 when the card cannot be read.
void read_report_values(const Options &opts) {
  int rc = opts.name_regex != nullptr ? ovkc_read_values_by_name(opts.name_regex)
                                      : ovkc_read_values_by_module(opts.section);
  if (rc != OVKC_OK) {
    ovkc_free();
    fatal(2, "Error - reading values from hardware");
  }
  ovkc_solver();
}

// One round of the chosen report in JSON or the Prometheus format.
void report_machine(const Options &opts, orvik_status::Rates *rates) {
  bool json = output_of(opts) == Output::kJson;
  std::vector<std::string> names = orvik_status::section_names();
  orvik_status::ValueView none{nullptr, nullptr, &names};
  if (opts.identify) {
    if (json)
      orvik_status::write_json_identification(stdout);
    else
      orvik_status::write_prometheus(stdout, none);
    return;
  }
  if (opts.list_names || opts.list) {
    ovkc_read_values();  // also applies the configuration items
    if (!json)
      orvik_status::write_prometheus(stdout, none);
    else if (opts.list_names)
      orvik_status::write_json_names(stdout, orvik_status::current_values(names));
    else
      orvik_status::write_json_sections(stdout, names);
    ovkc_free_datalist();
    return;
  }
  read_report_values(opts);
  if (rates != nullptr) rates->update(ovkc_get_datalist());
  orvik_status::ValueView view = orvik_status::current_values(names);
  if (json)
    orvik_status::write_json_values(stdout, view, rates);
  else
    orvik_status::write_prometheus(stdout, view);
  ovkc_free_datalist();
}

// One round of the chosen report; rates are kept across the rounds of a
// watch (nullptr for a single report).
void report_round(const Options &opts, orvik_status::Rates *rates) {
  if (output_of(opts) != Output::kText) {
    report_machine(opts, rates);
    return;
  }
  if (opts.identify) {
    printf("Board identification\n");
    print_identification();
    return;
  }
  if (opts.list_names) {
    ovkc_read_values();  // also applies the configuration items
    print_names();
    ovkc_free_datalist();
    return;
  }
  if (opts.list) {
    ovkc_read_values();
    print_sections();
    print_identification();
    ovkc_free_datalist();
    return;
  }
  read_report_values(opts);
  if (rates != nullptr) rates->update(ovkc_get_datalist());
  print_values(rates);
  ovkc_free_datalist();
}

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

// Sleeps for seconds unless an interrupt comes first.
void pause_for(double seconds) {
  timespec left;
  left.tv_sec = static_cast<time_t>(seconds);
  left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
  while (!interrupted && nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Repeats the report until SIGINT or SIGTERM, which end it with status 0.
// The signal only sets a flag, so a round in progress finishes and the
// card is released as usual.
int watch(const Options &opts) {
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // output in progress is not cut short
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  bool redraw = output_of(opts) == Output::kText && isatty(STDOUT_FILENO);
  orvik_status::Rates rates;
  while (!interrupted) {
    if (redraw) printf("\033[H\033[2J");
    report_round(opts, &rates);
    fflush(stdout);
    if (!interrupted) pause_for(opts.watch_seconds);
  }
  return 0;
}

// Runs the chosen mode on a loaded library; returns the exit status.
int run_mode(const Options &opts) {
  if (opts.set_name != nullptr) {
    int rc = opts.has_value ? ovkc_change_value(opts.set_name, MODE_SET, opts.value)
                            : ovkc_change_value(opts.set_name, MODE_TOGGLE, 0);
    if (rc != OVKC_OK) {
      ovkc_free();
      fatal(2, "Error - change value was not successful");
    }
    return 0;
  }
  if (opts.watch_seconds > 0) return watch(opts);
  report_round(opts, nullptr);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  orvik_cli::check_output_at_exit();
  verbose = -1;
  Options opts;
  int status = read_flags(argc, argv, &opts);
  if (status >= 0) return status;
  if (opts.raw_option != nullptr) return run_raw_access(opts);

  int rc = ovkc_init(opts.file.c_str());
  if (rc == OVKC_INIT_NOT_FOUND) {
    ovkc_free();
    fatal(1, "Error - could not open configuration file");
  }
  if (rc != OVKC_OK) {
    ovkc_free();
    fatal(1, "Error - initialisation of ovkc");
  }
  if (verbose >= 0) verbose_msg(0, "loaded configuration");

  status = run_mode(opts);
  ovkc_free();
  return status;
}
