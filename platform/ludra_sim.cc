// Simulated card for the card-access library (libludra.so.1).
//
// The card is a text state file named by LUDRA_SIM.  Attach locks it, parses
// it into memory and keeps the parsed lines so that detach can write the
// file back with only the changed values replaced.  Every operation can be
// traced to the file named by LUDRA_SIM_TRACE, which lets tests count the
// bus accesses a caller makes.
#include "ludra.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "c_util.h"

namespace {

constexpr int kIdentCount = 6;

// Where the value of a word or register lives in the state file: the line
// and the byte span of its value token, so a write replaces only that span
// and keeps the rest of the line (comments included) as it was.
struct Cell {
  uint32_t value = 0;
  size_t line = 0;
  size_t value_pos = 0;
  size_t value_len = 0;
  bool in_file = false;  // false: appended by a write, not yet in the file
  bool changed = false;
};

using WordKey = std::pair<uint32_t, uint32_t>;                    // base, offset
using MdioKey = std::tuple<uint32_t, uint32_t, uint32_t>;         // base, device, register

struct Token {
  std::string text;
  size_t pos;
};

using orvik::FilePtr;

std::string printable(const std::string &text) {
  constexpr size_t kMax = 64;
  std::string out;
  for (char c : text.substr(0, kMax)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (text.size() > kMax) out += "...";
  return out;
}

}  // namespace

struct vq_space {
  uint32_t base;
  uint32_t size;
};

struct vq_device {
  std::string path;
  int lock_fd = -1;
  FilePtr trace;

  std::vector<std::string> lines;
  uint32_t firmware = 0;
  std::string ident[kIdentCount] = {"unknown", "unknown", "unknown",
                                    "unknown", "unknown", "unknown"};
  std::map<WordKey, Cell> words;
  std::map<MdioKey, Cell> mdio;
  std::vector<WordKey> appended_words;  // in order of their first write
  std::vector<MdioKey> appended_mdio;
  std::set<WordKey> clocks;
  std::set<uint32_t> fail_map;
  std::unordered_set<vq_space *> spaces;
  bool dirty = false;

  ~vq_device() {
    for (vq_space *s : spaces) delete s;
    if (lock_fd >= 0) close(lock_fd);  // releases the lock
  }

  void log(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!trace) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(trace.get(), fmt, ap);
    va_end(ap);
    fputc('\n', trace.get());
    fflush(trace.get());
  }

  bool owns(vq_space *space) const { return space != nullptr && spaces.count(space) != 0; }
};

namespace {

// ---- State file parsing ----

class Parser {
 public:
  Parser(vq_device &dev, const std::string &name) : dev_(dev), name_(name) {}

  // Parses every line of dev_.lines; false after printing one message.
  bool parse() {
    for (size_t i = 0; i < dev_.lines.size(); ++i) {
      line_no_ = i + 1;
      if (!parse_line(i)) {
        fprintf(stderr, "ludra-sim: %s:%zu: %s\n", name_.c_str(), line_no_, error_.c_str());
        return false;
      }
    }
    return true;
  }

 private:
  static std::vector<Token> tokenize(const std::string &line) {
    std::vector<Token> tokens;
    size_t end = line.find('#');
    if (end == std::string::npos) end = line.size();
    size_t i = 0;
    while (i < end) {
      while (i < end && isspace(static_cast<unsigned char>(line[i]))) ++i;
      if (i >= end) break;
      size_t start = i;
      while (i < end && !isspace(static_cast<unsigned char>(line[i]))) ++i;
      tokens.push_back({line.substr(start, i - start), start});
    }
    return tokens;
  }

  bool fail(const std::string &what) {
    error_ = what;
    return false;
  }

  // A whole token in C notation (strtoul base 0) that fits in max.
  bool number(const Token &tok, uint64_t max, uint32_t *out) {
    const char *s = tok.text.c_str();
    if (tok.text.empty() || !isdigit(static_cast<unsigned char>(s[0])))
      return fail("bad number '" + printable(tok.text) + "'");
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, 0);
    if (end != s + tok.text.size()) return fail("bad number '" + printable(tok.text) + "'");
    if (errno == ERANGE || v > max)
      return fail("number out of range '" + printable(tok.text) + "'");
    *out = static_cast<uint32_t>(v);
    return true;
  }

  bool arity(const std::vector<Token> &t, size_t want) {
    if (t.size() < want) return fail("missing field in '" + printable(t[0].text) + "'");
    if (t.size() > want) return fail("too many fields in '" + printable(t[0].text) + "'");
    return true;
  }

  static Cell cell(uint32_t value, size_t line, const Token &tok) {
    Cell c;
    c.value = value;
    c.line = line;
    c.value_pos = tok.pos;
    c.value_len = tok.text.size();
    c.in_file = true;
    return c;
  }

  bool parse_line(size_t index) {
    std::vector<Token> t = tokenize(dev_.lines[index]);
    if (t.empty()) return true;
    const std::string &kw = t[0].text;
    uint32_t a = 0, b = 0, c = 0, d = 0;
    if (kw == "firmware") return arity(t, 2) && number(t[1], UINT32_MAX, &dev_.firmware);
    if (kw == "ident") {
      if (!arity(t, 1 + kIdentCount)) return false;
      for (int i = 0; i < kIdentCount; ++i) dev_.ident[i] = t[1 + i].text;
      return true;
    }
    if (kw == "vq") {
      if (!arity(t, 4) || !number(t[1], UINT32_MAX, &a) || !number(t[2], UINT32_MAX, &b) ||
          !number(t[3], UINT32_MAX, &c))
        return false;
      dev_.words[{a, b}] = cell(c, index, t[3]);
      return true;
    }
    if (kw == "mdio") {
      if (!arity(t, 5) || !number(t[1], UINT32_MAX, &a) || !number(t[2], UINT32_MAX, &b) ||
          !number(t[3], UINT32_MAX, &c) || !number(t[4], UINT16_MAX, &d))
        return false;
      dev_.mdio[{a, b, c}] = cell(d, index, t[4]);
      return true;
    }
    if (kw == "clock") {
      if (!arity(t, 3) || !number(t[1], UINT32_MAX, &a) || !number(t[2], UINT32_MAX, &b))
        return false;
      dev_.clocks.insert({a, b});
      return true;
    }
    if (kw == "fail-map") {
      if (!arity(t, 2) || !number(t[1], UINT32_MAX, &a)) return false;
      dev_.fail_map.insert(a);
      return true;
    }
    return fail("unknown statement '" + printable(kw) + "'");
  }

  vq_device &dev_;
  const std::string &name_;
  size_t line_no_ = 0;
  std::string error_;
};

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool read_fd(int fd, std::string *out) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

// Opens and locks the state file.  Detach replaces the file by renaming a
// new one over it, so a waiter may wake up holding the lock of a file that
// is no longer there; it then starts again on the file now at that path.
int open_locked(const std::string &path) {
  for (;;) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc;
    do rc = flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    struct stat held, now;
    if (rc == 0 && fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 &&
        held.st_dev == now.st_dev && held.st_ino == now.st_ino)
      return fd;
    close(fd);
    if (rc != 0) return -1;
  }
}

// ---- Saving ----

std::string hex(uint32_t v, int digits) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%0*x", digits, v);
  return buf;
}

void patch(std::vector<std::string> &lines, const Cell &c, const std::string &text) {
  lines[c.line].replace(c.value_pos, c.value_len, text);
}

std::string render(const vq_device &dev) {
  std::vector<std::string> lines = dev.lines;
  for (const auto &[key, c] : dev.words)
    if (c.in_file && c.changed) patch(lines, c, hex(c.value, 8));
  for (const auto &[key, c] : dev.mdio)
    if (c.in_file && c.changed) patch(lines, c, hex(c.value, 4));
  for (const WordKey &k : dev.appended_words)
    lines.push_back("vq " + hex(k.first, 0) + " " + hex(k.second, 0) + " " +
                    hex(dev.words.at(k).value, 8));
  for (const MdioKey &k : dev.appended_mdio)
    lines.push_back("mdio " + hex(std::get<0>(k), 0) + " " + hex(std::get<1>(k), 0) + " " +
                    hex(std::get<2>(k), 0) + " " + hex(dev.mdio.at(k).value, 4));
  std::string text;
  for (const std::string &l : lines) text += l + "\n";
  return text;
}

bool write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void sync_dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes a temporary file beside the state file and renames it over the
// state file, so a reader sees either the old or the new card, never half.
void save(const vq_device &dev) {
  std::string tmpl = dev.path + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    fprintf(stderr, "ludra-sim: %s: cannot save: %s\n", dev.path.c_str(), strerror(errno));
    return;
  }
  struct stat st;
  if (fstat(dev.lock_fd, &st) == 0) fchmod(fd, st.st_mode & 07777);
  bool ok = write_all(fd, render(dev)) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(name.data(), dev.path.c_str()) == 0) {
    sync_dir_of(dev.path);
    return;
  }
  fprintf(stderr, "ludra-sim: %s: cannot save: %s\n", dev.path.c_str(), strerror(errno));
  unlink(name.data());
}

// ---- Clock ----

bool clock_word(const vq_device &dev, uint32_t base, uint32_t offset, uint32_t *value) {
  bool ns = dev.clocks.count({base, offset}) != 0;
  bool sec = offset >= 4 && dev.clocks.count({base, offset - 4}) != 0;
  if (!ns && !sec) return false;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *value = ns ? static_cast<uint32_t>(now.tv_nsec) : static_cast<uint32_t>(now.tv_sec);
  return true;
}

std::unique_ptr<vq_device> load_device(const char *env) {
  auto dev = std::make_unique<vq_device>();
  dev->path = env;
  dev->lock_fd = open_locked(dev->path);
  if (dev->lock_fd < 0) return nullptr;
  std::string text;
  if (!read_fd(dev->lock_fd, &text)) return nullptr;
  dev->lines = split_lines(text);
  if (!Parser(*dev, dev->path).parse()) return nullptr;
  return dev;
}

}  // namespace

extern "C" {

int vq_attach_noex(vq_dev_t *dev, const char * /*path*/) {
  if (dev == nullptr) return 1;
  *dev = nullptr;
  const char *env = getenv("LUDRA_SIM");
  if (env == nullptr || *env == '\0') return 1;
  try {
    std::unique_ptr<vq_device> d = load_device(env);
    if (!d) return 1;
    const char *trace = getenv("LUDRA_SIM_TRACE");
    if (trace != nullptr && *trace != '\0') d->trace.reset(fopen(trace, "ae"));
    d->log("attach");
    *dev = d.release();
    return 0;
  } catch (...) {
    return 1;
  }
}

void vq_detach(vq_dev_t *dev) {
  if (dev == nullptr || *dev == nullptr) return;
  vq_device *d = *dev;
  d->log("detach");
  try {
    if (d->dirty) save(*d);
  } catch (...) {
    fprintf(stderr, "ludra-sim: %s: cannot save: out of memory\n", d->path.c_str());
  }
  delete d;
  *dev = nullptr;
}

uint32_t vq_firmware_get(vq_dev_t dev) { return dev ? dev->firmware : 0; }

int vq_identify_cv2(vq_dev_t dev, const char **board, const char **subtype,
                    const char **if0_card, const char **if0_chip, const char **if1_card,
                    const char **if1_chip) {
  const char **out[kIdentCount] = {board, subtype, if0_card, if0_chip, if1_card, if1_chip};
  for (int i = 0; i < kIdentCount; ++i)
    if (out[i] != nullptr) *out[i] = dev ? dev->ident[i].c_str() : "unknown";
  return dev ? 0 : 1;
}

int vq_space_map(vq_dev_t dev, vq_space_t *space, uint32_t /*flags*/, uint32_t size,
                 uint32_t base, uint32_t /*reserved*/) {
  if (space != nullptr) *space = nullptr;
  if (dev == nullptr || space == nullptr) return 1;
  dev->log("map 0x%x 0x%x", base, size);
  if (dev->fail_map.count(base) != 0) return 1;
  try {
    auto s = std::make_unique<vq_space>(vq_space{base, size});
    dev->spaces.insert(s.get());
    *space = s.release();
    return 0;
  } catch (...) {
    return 1;
  }
}

void vq_space_unmap(vq_dev_t dev, vq_space_t *space) {
  if (space == nullptr) return;
  if (dev != nullptr && dev->owns(*space)) {
    dev->log("unmap");
    dev->spaces.erase(*space);
    delete *space;
  }
  *space = nullptr;
}

uint32_t vq_space_read_4(vq_dev_t dev, vq_space_t space, uint32_t offset) {
  if (dev == nullptr || !dev->owns(space)) return 0;
  uint32_t value = 0;
  if (!clock_word(*dev, space->base, offset, &value)) {
    auto it = dev->words.find({space->base, offset});
    if (it != dev->words.end()) value = it->second.value;
  }
  dev->log("rd4 0x%x 0x%x 0x%x", space->base, offset, value);
  return value;
}

void vq_space_write_4(vq_dev_t dev, vq_space_t space, uint32_t offset, uint32_t value) {
  if (dev == nullptr || !dev->owns(space)) return;
  dev->log("wr4 0x%x 0x%x 0x%x", space->base, offset, value);
  uint32_t ignored;
  if (clock_word(*dev, space->base, offset, &ignored)) return;  // a running clock
  WordKey key{space->base, offset};
  try {
    auto [it, fresh] = dev->words.try_emplace(key);
    if (fresh) dev->appended_words.push_back(key);
    it->second.value = value;
    it->second.changed = true;
    dev->dirty = true;
  } catch (...) {
  }
}

uint16_t vq_mdio_read(vq_dev_t dev, vq_space_t space, uint32_t /*port*/, uint32_t mdiodev,
                      uint32_t reg) {
  if (dev == nullptr || !dev->owns(space)) return 0;
  uint16_t value = 0;
  auto it = dev->mdio.find({space->base, mdiodev, reg});
  if (it != dev->mdio.end()) value = static_cast<uint16_t>(it->second.value);
  dev->log("mdrd 0x%x 0x%x 0x%x 0x%x", space->base, mdiodev, reg, value);
  return value;
}

void vq_mdio_write(vq_dev_t dev, vq_space_t space, uint32_t /*port*/, uint32_t mdiodev,
                   uint32_t reg, uint16_t value) {
  if (dev == nullptr || !dev->owns(space)) return;
  dev->log("mdwr 0x%x 0x%x 0x%x 0x%x", space->base, mdiodev, reg, value);
  MdioKey key{space->base, mdiodev, reg};
  try {
    auto [it, fresh] = dev->mdio.try_emplace(key);
    if (fresh) dev->appended_mdio.push_back(key);
    it->second.value = value;
    it->second.changed = true;
    dev->dirty = true;
  } catch (...) {
  }
}

}  // extern "C"
