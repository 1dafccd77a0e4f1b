// framekit: loads one PCAP capture into the frame store, applies the edits
// asked for on the command line in a fixed order, lists and saves it.
#include <err.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <memory>

#include "c_util.h"
#include "frames.h"

namespace {

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
        "-s, --save <PCAP file>               Save to output\n",
        stdout);
}

// A number as the frame store takes it: its low 32 bits, signed.
int32_t low32(long long v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

void parse_pair(const char *arg, Options *o) {
  if (sscanf(arg, "%lli:%lli", &o->first, &o->second) != 2) {
    warnx("Cannot parse <from> and <to>");
    o->bad_number = true;
  }
}

void parse_index(const char *arg, Options *o) {
  if (sscanf(arg, "%lli", &o->first) != 1) {
    warnx("Cannot parse <index>");
    o->bad_number = true;
  }
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
      {"delete", required_argument, nullptr, 'd'},
      {"delete-range", required_argument, nullptr, 'D'},
      {"rand", no_argument, &o->rand_flag, 1},
      {"list", no_argument, &o->list_flag, 1},
      {"verbose", no_argument, &o->verbose_flag, 1},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int opt;
  while ((opt = getopt_long(argc, argv, "hf:s:vlrc:d:D:", long_options, nullptr)) != -1) {
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

// Runs the requested edits in their fixed order, then lists and saves.
// Every step runs even after another failed; the result tells whether one
// did.
int edit_and_save(const Options &o) {
  int status = 0;
  auto check = [&status](int rc, const char *what) {
    if (rc == 0) return;
    warnx("Error during %s", what);
    status = 1;
  };
  if (o.copy_flag) check(ovke_clone_frame(low32(o.first), low32(o.second)), "clone_frame");
  if (o.delete_flag) check(ovke_remove_frame(low32(o.first)), "remove_frame");
  if (o.delete_range_flag)
    check(ovke_remove_frame_interval(low32(o.first), low32(o.second)), "remove_frame_interval");
  if (o.rand_flag) ovke_randomize_frames(static_cast<uint32_t>(time(nullptr)));
  if (o.list_flag) show_frames(ovke_get_frames());
  if (o.save_file != nullptr) check(ovke_save_file(o.save_file), "save_file");
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
  ovke_init();
  FILE *stream = in.get();
  if (ovke_load_file(&stream) != 0) {
    in.reset();
    ovke_free();
    errx(1, "Load file failed");
  }
  int status = edit_and_save(o);
  in.reset();
  ovke_free();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int rc = read_flags(argc, argv, &options);
  if (rc >= 0) return rc;
  return run(options);
}
