// Helpers shared by the fuzz targets.
#ifndef ORVIK_FUZZ_COMMON_H
#define ORVIK_FUZZ_COMMON_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace orvik_fuzz {

// A fuzz target's own invariant failed: say which and stop with a crash,
// so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                      \
  do {                                                                        \
    if (!(cond)) {                                                            \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                \
    }                                                                         \
  } while (0)

// A private file under TMPDIR for this process, made once and reused for
// every input; removed at exit.  Without TMPDIR the file goes to /dev/shm
// where there is one: a save creates, writes and renames a file for every
// input, which on a disk file system's journal costs more than the rest of
// the run.
inline const std::string &scratch_path(const char *tag) {
  static std::string path = [tag] {
    const char *dir = getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(dir) + "/orvik-fuzz-" + tag + "-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) abort();
    close(fd);
    static std::string to_remove;
    to_remove = tmpl;
    atexit([] { unlink(to_remove.c_str()); });
    return tmpl;
  }();
  return path;
}

inline void write_bytes(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();
}

inline std::string read_bytes(const std::string &path) {
  std::string out;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

}  // namespace orvik_fuzz

#endif
