// kvoplay: replays one PCAP file onto the card's transmit path through the
// frame sender of liborvik and reports how many packets were sent.
#include <getopt.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "cli.h"
#include "frames.h"
#include "progress.h"
#include "send.h"
#include "tessel.h"

namespace {

using orvik_cli::fatal;
using orvik_cli::warning;

const char kDefaultDevice[] = "/dev/kvodataII0";
// Transmit channel mask: one bit per transmit interface, all four.
constexpr uint32_t kAllTxInterfaces = 15;

// Long options without a short form.
enum LongOnly { kOptHelp = 256, kOptLoop, kOptStats };

struct Options {
  const char *filename = nullptr;
  const char *device = nullptr;
  uint16_t interface = 0;
  ovks_time_t first_ts{0, 0}, interval{0, 0}, move_time{0, 0};
  bool timestamp_flag = false, interval_flag = false, move_flag = false;
  float max_speed = 0;
  bool bandwidth_flag = false;
  uint32_t repeat = 0;
  int32_t header_flag_val = 0;
  uint32_t rx = 0;
  uint32_t tx = kAllTxInterfaces;
  double multiplier = 1.0;
  bool multiplier_flag = false;
  uint32_t loops = 1;
  bool stats = false;
  // int: the option table sets these through pointers.
  int get_hw_ts_flag = 0, dont_send_flag = 0, quiet_flag = 0, verbose_flag = 0;
};

void usage() {
  fputs(
      "Usage: kvoplay [-hNOv] [-d kvo_device] [-f file] [-i <number>s<number>ns] [-I interface] "
      "[-R rx_mask] [-t <number>s<number>ns] [-T tx_mask] [-B <number><gGmMkK>]\n"
      "-B, --bw <number><KMG>\t\t     Set speed of transfer in Kilo/Mega/Giga-bits (case "
      "insensitive)\n"
      "-d, --device kvo_device              Use device file, default /dev/kvodataII0\n"
      "-f, --file PCAP file                 Specify input file\n"
      "-F, --flag <number>                  Specify flag information in KVO header\n"
      "-g, --get-hw-ts                      Get current timestamp from ludra card\n"
      "-h, --help                           Show this text\n"
      "-m, --move <number>s<number>ns\t     Move packets in time\n"
      "-q, --quiet                          Run in quiet mode\n"
      "-i, --interval <number>s<number>ns   Set interval between packets\n"
      "-I, --interface number               Interface number - where to send data (default 0)\n"
      "-N, --dontsend                       Just read input file\n"
      "-r, --repeat <number>                Repeat frame (0-255)x\n"
      "-R, --rx value                       RX mask for activating of channels (in decimal "
      "num.)\n"
      "-T, --tx value                       TX mask for activating of channels (in decimal "
      "num.)\n"
      "-t, --timestamp <number>s<number>ns  Set first timestamp\n"
      "-v, --verbose                        Verbose output\n"
      "-x, --multiplier <number>            Divide the capture's gaps by number (2.0: twice as "
      "fast)\n"
      "    --loop <count>                   Send the whole capture count times\n"
      "    --stats                          Print frames, bytes, times and rate of the send\n",
      stdout);
}

[[noreturn]] void bad_number(int opt, const char *arg) {
  fatal(1, "invalid number `%s' for option -%c", arg, opt);
}

[[noreturn]] void bad_time(int opt, const char *arg) {
  fatal(1, "invalid time `%s' for option -%c (expected <number>s<number>ns)", arg, opt);
}

ovks_time_t read_time(int opt, const char *arg, int *sec, int *nsec) {
  if (!orvik_cli::scan_time(arg, sec, nsec)) bad_time(opt, arg);
  return {static_cast<uint32_t>(*sec), static_cast<uint32_t>(*nsec)};
}

// A number in C notation ("%i": decimal, 0x hexadecimal, leading-zero
// octal); trailing text is ignored as sscanf does.
uint32_t read_int(int opt, const char *arg) {
  int v = 0;
  if (!orvik_cli::scan_int(arg, &v)) bad_number(opt, arg);
  return static_cast<uint32_t>(v);
}

// Handles one parsed option; returns an exit code, or -1 to go on.
int take_option(int opt, const char *arg, Options *o) {
  int sec = 0, nsec = 0;
  switch (opt) {
    case 'f':
      o->filename = arg;
      printf("File name: `%s'\n", arg);
      break;
    case 'd': o->device = arg; break;
    case 'I': {
      long v = 0;
      if (!orvik_cli::scan_decimal(arg, &v)) bad_number(opt, arg);
      o->interface = static_cast<uint16_t>(v);
      break;
    }
    case 't':
      o->timestamp_flag = true;
      o->first_ts = read_time(opt, arg, &sec, &nsec);
      printf("First timestamp: %is %ins\n", sec, nsec);
      break;
    case 'i':
      o->interval_flag = true;
      o->interval = read_time(opt, arg, &sec, &nsec);
      break;
    case 'm':
      o->move_flag = true;
      o->move_time = read_time(opt, arg, &sec, &nsec);
      break;
    case 'B':
      o->bandwidth_flag = true;
      printf("Speed: `%s'\n", arg);
      // Bits per second; a unit letter other than k, m or g is ignored.
      if (!orvik_cli::scan_scaled(arg, &o->max_speed)) bad_number(opt, arg);
      printf("Speed was set to: %f\n", o->max_speed);
      break;
    case 'r': o->repeat = read_int(opt, arg); break;
    case 'F': o->header_flag_val = static_cast<int32_t>(read_int(opt, arg)); break;
    case 'R': o->rx = read_int(opt, arg); break;
    case 'T': o->tx = read_int(opt, arg); break;
    case 'g': o->get_hw_ts_flag = 1; break;
    case 'N': o->dont_send_flag = 1; break;
    case 'q': o->quiet_flag = 1; break;
    case 'v':
      o->verbose_flag = 1;
      verbose = 0;
      break;
    case 'V':
      o->verbose_flag = 1;
      verbose = 1;
      break;
    case 'x':
      if (!orvik_cli::parse_positive(arg, HUGE_VAL, &o->multiplier))
        fatal(1, "invalid multiplier `%s' for option -x (expected a finite number above 0)", arg);
      o->multiplier_flag = true;
      break;
    case kOptLoop: {
      uint64_t loops = 0;
      if (!orvik_cli::parse_unsigned(arg, false, UINT32_MAX, false, &loops) || loops == 0)
        fatal(1, "invalid count `%s' for option --loop (expected 1 or more)", arg);
      o->loops = static_cast<uint32_t>(loops);
      break;
    }
    case kOptStats: o->stats = true; break;
    case 'h':
    case kOptHelp: usage(); return 1;
    default: return 1;  // getopt_long has said what is wrong
  }
  return -1;
}

// Parses the command line into o; returns an exit code, or -1 to go on.
int read_flags(int argc, char **argv, Options *o) {
  const option long_options[] = {
      {"bw", required_argument, nullptr, 'B'},
      {"device", required_argument, nullptr, 'd'},
      {"file", required_argument, nullptr, 'f'},
      {"flag", required_argument, nullptr, 'F'},
      {"get-hw-ts", no_argument, &o->get_hw_ts_flag, 1},
      {"help", no_argument, nullptr, kOptHelp},
      {"move", required_argument, nullptr, 'm'},
      {"quiet", no_argument, &o->quiet_flag, 1},
      {"interval", required_argument, nullptr, 'i'},
      {"interface", required_argument, nullptr, 'I'},
      {"dontsend", no_argument, &o->dont_send_flag, 1},
      {"repeat", required_argument, nullptr, 'r'},
      {"rx", required_argument, nullptr, 'R'},
      {"tx", required_argument, nullptr, 'T'},
      {"timestamp", required_argument, nullptr, 't'},
      {"verbose", no_argument, nullptr, 'v'},
      {"multiplier", required_argument, nullptr, 'x'},
      {"loop", required_argument, nullptr, kOptLoop},
      {"stats", no_argument, nullptr, kOptStats},
      {nullptr, 0, nullptr, 0},
  };
  int index = 0, opt;
  while ((opt = getopt_long(argc, argv, "B:hf:gt:i:m:qd:I:r:R:T:NvVF:x:", long_options, &index)) !=
         -1) {
    if (opt == 0) continue;  // a long option that sets its switch itself
    if (int rc = take_option(opt, optarg, o); rc >= 0) return rc;
  }
  return -1;
}

// Settings that depend on more than one option.
int settle(Options *o) {
  if (o->quiet_flag) {
    verbose = -1;
    o->verbose_flag = 0;
  }
  if (o->filename == nullptr) {
    fputs("No input file specified\n", stderr);
    return 1;
  }
  if (o->device == nullptr) o->device = kDefaultDevice;
  if (o->get_hw_ts_flag) o->timestamp_flag = false;  // the card's clock wins
  if (o->multiplier_flag && (o->interval_flag || o->bandwidth_flag))
    fatal(1, "option -x applies only to capture-gap pacing, not with -i or -B");
  return -1;
}

double steady_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// One line follows the load, then the send, whose rate counts from the
// end of the load.
struct Progress {
  explicit Progress(double now) : line(stderr, now), load_end(now) {}
  kvoplay::ProgressLine line;
  double load_end;
  bool sending = false;
};

void show_load_progress(uint64_t bytes, uint64_t size, uint64_t frames, void *arg) {
  auto *p = static_cast<Progress *>(arg);
  p->load_end = steady_seconds();
  p->line.update_load(bytes, size, frames, p->load_end);
}

void show_progress(uint64_t done, uint64_t total, void *arg) {
  auto *p = static_cast<Progress *>(arg);
  if (!p->sending) {
    p->line.restart(p->load_end);
    p->sending = true;
  }
  p->line.update(done, total, steady_seconds());
}

void print_time(const char *label, uint64_t ns) {
  printf("%s: %llus%09lluns\n", label, static_cast<unsigned long long>(ns / 1000000000u),
         static_cast<unsigned long long>(ns % 1000000000u));
}

// What the send handed over and the pace its schedule asks of the card.
void print_stats() {
  ovks_stats_t s;
  ovks_get_stats(&s);
  auto ns = [](const ovks_time_t &t) { return uint64_t{t.sec} * 1000000000u + t.nsec; };
  printf("Frames handed over: %llu\n", static_cast<unsigned long long>(s.frames));
  printf("Bytes handed over: %llu\n", static_cast<unsigned long long>(s.bytes));
  if (s.frames == 0) return;
  uint64_t first = ns(s.first), last = ns(s.last);
  uint64_t duration = last > first ? last - first : 0;
  print_time("First transmit time", first);
  print_time("Last transmit time", last);
  print_time("Duration", duration);
  if (duration == 0) {
    printf("Average rate: - (one transmit time)\n");
    return;
  }
  double seconds = duration / 1e9;
  printf("Average rate: %.0f bit/s, %.1f frames/s\n", s.bytes * 8 / seconds,
         s.frames / seconds);
}

int send_capture(const Options &o) {
  if (!o.dont_send_flag) ovks_init();
  ovks_set_output_iface(o.device, o.interface);
  ovks_set_masks(o.rx, o.tx);
  // A terminal gets a progress line unless the library already reports
  // every frame there; a pipe never does.
  std::unique_ptr<Progress> progress;
  if (!o.quiet_flag && verbose < 0 && isatty(STDERR_FILENO))
    progress = std::make_unique<Progress>(steady_seconds());
  ovke_set_load_progress(progress ? show_load_progress : nullptr, progress.get());
  ovks_replay_t replay{o.multiplier, o.loops, progress ? show_progress : nullptr, progress.get()};
  ovks_set_replay(&replay);
  int rc = ovks_send(o.filename, o.timestamp_flag ? &o.first_ts : nullptr,
                     o.interval_flag ? &o.interval : nullptr, o.move_flag ? &o.move_time : nullptr,
                     o.get_hw_ts_flag != 0, o.repeat, static_cast<uint8_t>(o.header_flag_val),
                     o.dont_send_flag != 0, o.bandwidth_flag ? o.max_speed : 0.0f);
  ovke_set_load_progress(nullptr, nullptr);
  progress.reset();
  if (rc == OVKS_NOT_A_CAPTURE || rc == OVKS_MIXED_LINK_TYPES) {
    ovks_free();
    if (rc == OVKS_NOT_A_CAPTURE) fatal(1, "`%s' is neither a PCAP nor a pcapng capture", o.filename);
    fatal(1, "`%s' holds interfaces of different link types, which one PCAP file cannot hold",
          o.filename);
  }
  if (rc != OVKS_OK) {
    ovks_free();
    warning("Error - cannot send");
    if (*ovks_error() != '\0') warning("%s", ovks_error());
    exit(2);
  }
  // Each frame goes out repeat + 1 times; the sum wraps as the header's
  // 32-bit repeat count does.
  uint64_t per_frame = static_cast<uint32_t>(o.repeat + 1);
  printf("Amount of sent packets: %llu\n",
         static_cast<unsigned long long>(per_frame * ovks_packet_sent));
  if (o.stats) print_stats();
  if (ovks_packet_dropped == 0) return 0;
  fflush(stdout);
  fprintf(stderr, "%llu packets could not be sent\n",
          static_cast<unsigned long long>(per_frame * ovks_packet_dropped));
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  orvik_cli::check_output_at_exit();
  Options options;
  if (int rc = read_flags(argc, argv, &options); rc >= 0) return rc;
  if (int rc = settle(&options); rc >= 0) return rc;
  return send_capture(options);
}
