// kvoplay: replays one PCAP file onto the card's transmit path through the
// frame sender of liborvik and reports how many packets were sent.
#include <err.h>
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "send.h"
#include "tessel.h"

namespace {

const char kDefaultDevice[] = "/dev/kvodataII0";

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
  uint32_t tx = 15;
  // int: the option table sets these through pointers.
  int get_hw_ts_flag = 0, dont_send_flag = 0, quiet_flag = 0, verbose_flag = 0;
};

void Usage() {
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
      "-v, --verbose                        Verbose output\n",
      stdout);
}

// A number in C notation ("%i": decimal, 0x hexadecimal, leading-zero
// octal); trailing text is ignored as sscanf does.
bool ParseInt(const char *arg, int *out) { return sscanf(arg, "%i", out) == 1; }

// "<number>s<number>ns".
bool ParseTime(const char *arg, int *sec, int *nsec) {
  return sscanf(arg, "%is%ins", sec, nsec) == 2;
}

// Bits per second from "<number><KMG>"; any other unit letter, or none,
// leaves the number as it is.
bool ParseSpeed(const char *arg, float *speed) {
  char unit = '\0';
  if (sscanf(arg, "%f%1c", speed, &unit) < 1) return false;
  switch (unit) {
    case 'k': case 'K': *speed *= 1000.0f; break;
    case 'm': case 'M': *speed *= 1000000.0f; break;
    case 'g': case 'G': *speed *= 1000000000.0f; break;
    default: break;
  }
  return true;
}

[[noreturn]] void BadNumber(int opt, const char *arg) {
  errx(1, "invalid number `%s' for option -%c", arg, opt);
}

[[noreturn]] void BadTime(int opt, const char *arg) {
  errx(1, "invalid time `%s' for option -%c (expected <number>s<number>ns)", arg, opt);
}

ovks_time_t ReadTime(int opt, const char *arg, int *sec, int *nsec) {
  if (!ParseTime(arg, sec, nsec)) BadTime(opt, arg);
  return {static_cast<uint32_t>(*sec), static_cast<uint32_t>(*nsec)};
}

uint32_t ReadInt(int opt, const char *arg) {
  int v = 0;
  if (!ParseInt(arg, &v)) BadNumber(opt, arg);
  return static_cast<uint32_t>(v);
}

// Handles one parsed option; returns an exit code, or -1 to go on.
int TakeOption(int opt, const char *arg, Options *o) {
  int sec = 0, nsec = 0;
  switch (opt) {
    case 'f':
      o->filename = arg;
      printf("File name: `%s'\n", arg);
      break;
    case 'd': o->device = arg; break;
    case 'I': {
      char *end = nullptr;
      long v = strtol(arg, &end, 10);
      if (end == arg) BadNumber(opt, arg);
      o->interface = static_cast<uint16_t>(v);
      break;
    }
    case 't':
      o->timestamp_flag = true;
      o->first_ts = ReadTime(opt, arg, &sec, &nsec);
      printf("First timestamp: %is %ins\n", sec, nsec);
      break;
    case 'i':
      o->interval_flag = true;
      o->interval = ReadTime(opt, arg, &sec, &nsec);
      break;
    case 'm':
      o->move_flag = true;
      o->move_time = ReadTime(opt, arg, &sec, &nsec);
      break;
    case 'B':
      o->bandwidth_flag = true;
      printf("Speed: `%s'\n", arg);
      if (!ParseSpeed(arg, &o->max_speed)) BadNumber(opt, arg);
      printf("Speed was set to: %f\n", o->max_speed);
      break;
    case 'r': o->repeat = ReadInt(opt, arg); break;
    case 'F': o->header_flag_val = static_cast<int32_t>(ReadInt(opt, arg)); break;
    case 'R': o->rx = ReadInt(opt, arg); break;
    case 'T': o->tx = ReadInt(opt, arg); break;
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
    case 'h': Usage(); return 1;
    default: return 1;  // getopt_long has said what is wrong
  }
  return -1;
}

// Parses the command line into o; returns an exit code, or -1 to go on.
int ReadFlags(int argc, char **argv, Options *o) {
  const option long_options[] = {
      {"bw", required_argument, nullptr, 'B'},
      {"device", required_argument, nullptr, 'd'},
      {"file", required_argument, nullptr, 'f'},
      {"flag", required_argument, nullptr, 'F'},
      {"get-hw-ts", no_argument, &o->get_hw_ts_flag, 1},
      {"help", no_argument, nullptr, 0},
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
      {nullptr, 0, nullptr, 0},
  };
  int index = 0, opt;
  while ((opt = getopt_long(argc, argv, "B:hf:gt:i:m:qd:I:r:R:T:NvVF:", long_options, &index)) !=
         -1) {
    if (opt == 0) {
      // A long option that sets its switch itself; only --help gets here
      // without one, and it is merely noted.
      if (long_options[index].flag == nullptr) printf("option %s\n", long_options[index].name);
      continue;
    }
    if (int rc = TakeOption(opt, optarg, o); rc >= 0) return rc;
  }
  return -1;
}

// Settings that depend on more than one option.
int Settle(Options *o) {
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
  return -1;
}

int Send(const Options &o) {
  if (!o.dont_send_flag) ovks_init();
  ovks_set_output_iface(o.device, o.interface);
  ovks_set_masks(o.rx, o.tx);
  int rc = ovks_send(o.filename, o.timestamp_flag ? &o.first_ts : nullptr,
                     o.interval_flag ? &o.interval : nullptr, o.move_flag ? &o.move_time : nullptr,
                     o.get_hw_ts_flag != 0, o.repeat, static_cast<uint8_t>(o.header_flag_val),
                     o.dont_send_flag != 0, o.bandwidth_flag ? o.max_speed : 0.0f);
  constexpr int kNotACapture = 3, kMixedLinkTypes = 4;
  if (rc == kNotACapture || rc == kMixedLinkTypes) {
    ovks_free();
    if (rc == kNotACapture) errx(1, "`%s' is neither a PCAP nor a pcapng capture", o.filename);
    errx(1, "`%s' holds interfaces of different link types, which one PCAP file cannot hold",
         o.filename);
  }
  if (rc != 0) {
    ovks_free();
    errx(2, "Error - cannot send");
  }
  // Each frame goes out repeat + 1 times; the sum wraps as the header's
  // 32-bit repeat count does.
  uint64_t per_frame = static_cast<uint32_t>(o.repeat + 1);
  printf("Amount of sent packets: %llu\n",
         static_cast<unsigned long long>(per_frame * ovks_packet_sent));
  if (ovks_packet_dropped == 0) return 0;
  fflush(stdout);
  fprintf(stderr, "%llu packets could not be sent\n",
          static_cast<unsigned long long>(per_frame * ovks_packet_dropped));
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (int rc = ReadFlags(argc, argv, &options); rc >= 0) return rc;
  if (int rc = Settle(&options); rc >= 0) return rc;
  return Send(options);
}
