// framekit: loads one PCAP capture into the frame store, applies the edits
// asked for on the command line in a fixed order, lists and saves it.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#ifdef ORVIK_HAVE_PCAP
#include <pcap/pcap.h>
#endif

#include "c_util.h"
#include "cli.h"
#include "frames.h"

namespace {

using orvik_cli::fatal;
using orvik_cli::parse_unsigned;
using orvik_cli::scan_long_long;
using orvik_cli::scan_pair;
using orvik_cli::warning;

struct Options {
  const char *filename = nullptr;
  const char *save_file = nullptr;
  // Switches are ints: the long forms of -r, -l and -v set them straight
  // through getopt_long's option table.
  int copy_flag = 0;
  int delete_flag = 0;
  int delete_range_flag = 0;
  int rand_flag = 0;
  int list_flag = 0;
  int verbose_flag = 0;  // accepted; nothing prints more because of it
  // One pair for -c, -d and -D: the last of them on the command line sets
  // it, and every requested edit uses it as it stands after parsing.
  long long first = 0;
  long long second = 0;
  bool bad_number = false;
  const char *filter = nullptr;  // keep only the frames that match
  int32_t snaplen = 0;           // 0: frames keep their length
};

void usage() {
  fputs("Usage: framekit [-hvlr] {-f file}\n"
        "-c, --clone <from>:<to>              Copy the frame <from> to <to> position\n"
        "-d, --delete <index>                 Delete frame <index>\n"
        "-D, --delete-range <from>:<to>       Delete frames from rande <from>:<to>\n"
        "-f, --file <PCAP file>               Specify input file\n"
        "-h, --help                           Show this text\n"
        "-l, --list                           Print the list of frames\n"
        "-r, --rand                           Randomize MAC addresses of frames\n"
        "-v, --verbose                        Verbose output\n"
        "-s, --save <PCAP file>               Save to output\n"
        "-F, --filter <expression>            Keep only the frames that match a libpcap filter\n"
        "-S, --snaplen <bytes>                Cut every frame to at most <bytes>\n",
        stdout);
}

// A number as the frame store takes it: its low 32 bits, signed.
int32_t low32(long long v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

void parse_pair(const char *arg, Options *o) {
  if (!scan_pair(arg, &o->first, &o->second)) {
    warning("Cannot parse <from> and <to>");
    o->bad_number = true;
  }
}

void parse_index(const char *arg, Options *o) {
  if (!scan_long_long(arg, &o->first)) {
    warning("Cannot parse <index>");
    o->bad_number = true;
  }
}

// A snapshot length: a whole number from 1 to 2^31 - 1, nothing after it.
void parse_snaplen(const char *arg, Options *o) {
  uint64_t v = 0;
  if (!parse_unsigned(arg, false, INT32_MAX, false, &v) || v < 1) {
    warning("Cannot parse <bytes> `%s' (1 to %d)", arg, INT32_MAX);
    o->bad_number = true;
    return;
  }
  o->snaplen = static_cast<int32_t>(v);
}

void print_non_options(int argc, char **argv) {
  if (optind >= argc) return;
  fputs("non-option ARGV-elements: ", stdout);
  for (int i = optind; i < argc; ++i) printf("%s ", argv[i]);
  putchar('\n');
}

// Returns an exit status, or -1 to go on.  A number that cannot be parsed
// stops the program once every option has been looked at: running an edit
// on a number nobody gave could delete the wrong frames.
int read_flags(int argc, char **argv, Options *o) {
  const struct option long_options[] = {
      {"file", required_argument, nullptr, 'f'},
      {"save", required_argument, nullptr, 's'},
      {"copy", required_argument, nullptr, 'c'},
      {"clone", required_argument, nullptr, 'c'},
      {"filter", required_argument, nullptr, 'F'},
      {"snaplen", required_argument, nullptr, 'S'},
      {"delete", required_argument, nullptr, 'd'},
      {"delete-range", required_argument, nullptr, 'D'},
      {"rand", no_argument, &o->rand_flag, 1},
      {"list", no_argument, &o->list_flag, 1},
      {"verbose", no_argument, &o->verbose_flag, 1},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int opt;
  while ((opt = getopt_long(argc, argv, "hf:s:vlrc:d:D:F:S:", long_options, nullptr)) != -1) {
    switch (opt) {
      case 0:  // a long option that set its switch itself
        break;
      case 'f':
        o->filename = optarg;
        printf("File name: `%s'\n", optarg);
        break;
      case 's':
        o->save_file = optarg;
        printf("Save File name: `%s'\n", optarg);
        break;
      case 'c':
        o->copy_flag = 1;
        parse_pair(optarg, o);
        break;
      case 'd':
        o->delete_flag = 1;
        parse_index(optarg, o);
        break;
      case 'D':
        o->delete_range_flag = 1;
        parse_pair(optarg, o);
        break;
      case 'r':
        o->rand_flag = 1;
        break;
      case 'F':
        o->filter = optarg;
        break;
      case 'S':
        parse_snaplen(optarg, o);
        break;
      case 'l':
        o->list_flag = 1;
        break;
      case 'v':
        o->verbose_flag = 1;
        break;
      case 'h':
        usage();
        return 0;
      default:  // getopt_long has described the problem
        return 1;
    }
  }
  print_non_options(argc, argv);
  return o->bad_number ? 1 : -1;
}

void show_frames(const frame_queue_t *q) {
  puts("-------------------------");
  int number = 0;
  for (const frame_entry_t *e = q->first; e != (const frame_entry_t *)q; e = e->next, ++number) {
    if (e->frame == nullptr) continue;
    printf("%i: size: %i, ts:%i\n", number, e->frame->payload_size, e->frame->header->ts_sec);
  }
}

#ifdef ORVIK_HAVE_PCAP
// A compiled filter expression for the capture's link type.
class Filter {
 public:
  Filter() = default;
  ~Filter() {
    if (compiled_) pcap_freecode(&prog_);
  }
  Filter(const Filter &) = delete;
  Filter &operator=(const Filter &) = delete;

  // The link type is read from the capture file by libpcap, which knows
  // every format the store loads.  False after printing why not.
  bool compile(const char *path, const char *expression) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
      warning("--filter needs a capture file, not `%s'", path);
      return false;
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t *)> probe(
        pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_NANO, errbuf),
        pcap_close);
    if (!probe) {
      warning("%s", errbuf);
      return false;
    }
    if (pcap_compile(probe.get(), &prog_, expression, 1, PCAP_NETMASK_UNKNOWN) != 0) {
      warning("%s", pcap_geterr(probe.get()));
      return false;
    }
    compiled_ = true;
    return true;
  }

  bool matches(const frame_t *f) const {
    struct pcap_pkthdr h;
    h.ts.tv_sec = f->header->ts_sec;
    h.ts.tv_usec = 0;
    h.caplen = static_cast<bpf_u_int32>(f->payload_size);
    h.len = f->header->orig_len;
    return pcap_offline_filter(&prog_, &h, f->payload) != 0;
  }

 private:
  struct bpf_program prog_ = {};
  bool compiled_ = false;
};

// Removes the frames the filter does not match, each run of them as the
// walk reaches the next frame it keeps (the store finds the run from the
// one before).  A verdict mostly waits for the frame's first bytes to come
// from memory, so those of the frame kAhead places on are asked for in
// advance.
void apply_filter(const Filter &filter) {
  constexpr int kAhead = 16;
  const frame_queue_t *q = ovke_get_frames();
  const auto *end = reinterpret_cast<const frame_entry_t *>(q);
  const frame_entry_t *ahead = q->first;
  for (int i = 0; i < kAhead && ahead != end; ++i) ahead = ahead->next;
  int32_t at = 0;     // the number of e in the list as it is now
  int32_t run = -1;   // where the run of frames to drop before e starts; -1: none
  for (const frame_entry_t *e = q->first; e != end; e = e->next, ++at) {
    if (ahead != end) {
      if (ahead->frame != nullptr) __builtin_prefetch(ahead->frame->payload);
      ahead = ahead->next;
    }
    if (e->frame != nullptr && !filter.matches(e->frame)) {
      if (run < 0) run = at;
    } else if (run >= 0) {
      ovke_remove_frame_interval(run, at - 1);  // e, kept, is numbered run now
      at = run;
      run = -1;
    }
  }
  if (run >= 0) ovke_remove_frame_interval(run, at - 1);
}
#else
// Built without libpcap: --filter is refused before anything is loaded.
class Filter {
 public:
  bool compile(const char *, const char *) {
    warning("--filter is not available: framekit was built without libpcap");
    return false;
  }
};
void apply_filter(const Filter &) {}
#endif

// One failed step: the warning, and the system's reason when there is one.
void warn_failed(const char *what, int err, const char *input) {
  warning("Error during %s", what);
  if (err == ESTALE)  // the store's word for an input changed under it
    warning("`%s' was cut short or changed by another program while in use", input);
  else if (err != 0)
    warning("%s", strerror(err));
}

// Runs the requested edits in their fixed order, then filters, cuts, lists
// and saves.  Every step runs even after another failed; the result tells
// whether one did.
int edit_and_save(const Options &o, const Filter &filter) {
  int status = 0;
  // reason: the system's reason for a failure, or 0 when the result says
  // it all (a bad frame number).
  auto check = [&status, &o](int rc, const char *what, int reason) {
    if (rc == OVKE_OK) return;
    warn_failed(what, reason, o.filename);
    status = 1;
  };
  if (o.copy_flag) {
    int rc = ovke_clone_frame(low32(o.first), low32(o.second));
    check(rc, "clone_frame", rc == OVKE_CLONE_NO_MEMORY ? ENOMEM : 0);
  }
  if (o.delete_flag) check(ovke_remove_frame(low32(o.first)), "remove_frame", 0);
  if (o.delete_range_flag)
    check(ovke_remove_frame_interval(low32(o.first), low32(o.second)), "remove_frame_interval", 0);
  if (o.rand_flag) ovke_randomize_frames(static_cast<uint32_t>(time(nullptr)));
  if (o.filter != nullptr) apply_filter(filter);
  if (o.snaplen > 0) check(ovke_set_snaplen(o.snaplen), "set_snaplen", 0);
  if (o.list_flag) show_frames(ovke_get_frames());
  if (o.save_file != nullptr) {
    errno = 0;
    int rc = ovke_save_file(o.save_file);
    check(rc, "save_file", errno);
  }
  return status;
}

using orvik::FilePtr;

int run(const Options &o) {
  if (o.filename == nullptr) {
    fputs("No input file specified\n", stderr);
    return 1;
  }
  // The input stays open to the end; the whole capture is in memory after
  // the load, so the save may replace the input itself.
  FilePtr in(fopen(o.filename, "r"));
  if (!in) {
    fprintf(stderr, "Cannot open file `%s'\n", o.filename);
    return 1;
  }
  Filter filter;
  if (o.filter != nullptr && !filter.compile(o.filename, o.filter)) return 1;
  ovke_init();
  // Saving the frames as loaded, the load copies the capture on its way.
  // Randomising writes into every payload, which the store would copy
  // anyway: the load reads the capture into memory rather than mapping it.
  // So does filtering, which reads every payload, where the capture is
  // small enough: past that, memory of its size costs more than the page
  // faults of reading it through the mapping.
  constexpr off_t kFilterInMemoryMax = off_t{256} << 20;
  bool edits = o.copy_flag || o.delete_flag || o.delete_range_flag || o.rand_flag ||
               o.filter != nullptr || o.snaplen > 0;
  struct stat st;
  bool small = fstat(fileno(in.get()), &st) == 0 && st.st_size <= kFilterInMemoryMax;
  unsigned plan = 0;
  if (o.save_file != nullptr && !edits) plan |= OVKE_PLAN_SAVE;
  if (o.rand_flag || (o.filter != nullptr && small)) plan |= OVKE_PLAN_PAYLOADS;
  ovke_plan_next_load(plan, o.save_file);
  FILE *stream = in.get();
  if (int rc = ovke_load_file(&stream); rc != OVKE_OK) {
    in.reset();
    ovke_free();
    if (rc == OVKE_LOAD_UNKNOWN_FORMAT) warning("`%s' is neither a PCAP nor a pcapng capture", o.filename);
    if (rc == OVKE_LOAD_MIXED_LINK_TYPES)
      warning("`%s' holds interfaces of different link types, which one PCAP file cannot hold",
            o.filename);
    fatal(1, "Load file failed");
  }
  int status = edit_and_save(o, filter);
  in.reset();
  ovke_free();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  orvik_cli::check_output_at_exit();
  Options options;
  int rc = read_flags(argc, argv, &options);
  if (rc >= 0) return rc;
  return run(options);
}
