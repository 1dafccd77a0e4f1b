// Helpers shared by the tests: temporary directories and files, and running
// a built program with arguments, environment and standard input, capturing
// its output and exit status.
#ifndef ORVIK_TESTS_TEST_UTIL_H
#define ORVIK_TESTS_TEST_UTIL_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tessel.h"

extern char **environ;

namespace orvik_test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvik-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) abort();
    path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    // Directories a test made read-only must become writable to go.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  // Variables set for the child (an empty value unsets the variable).
  std::map<std::string, std::string> env;
  std::string cwd;    // working directory; empty: the test's own
  std::string input;  // standard input
};

// Path of a built program in the build tree's bin directory.
inline std::string program(const std::string &name) {
  return std::string(ORVIK_BIN_DIR) + "/" + name;
}

// Runs program with args (argv[0] is added), waits for it and returns its
// status and both outputs.  Outputs go through temporary files so large
// outputs cannot dead-lock the pipe.
inline RunResult run(const std::string &prog, const std::vector<std::string> &args,
                     const RunOptions &opts = {}) {
  TempDir io;
  std::string in_path = io.file("in"), out_path = io.file("out"), err_path = io.file("err");
  write_file(in_path, opts.input);

  std::vector<std::string> env_store;
  std::map<std::string, std::string> merged;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto &[k, v] : opts.env) {
    if (v.empty())
      merged.erase(k);
    else
      merged[k] = v;
  }
  for (const auto &[k, v] : merged) env_store.push_back(k + "=" + v);
  std::vector<char *> envp;
  for (auto &s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_store{prog};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argv_store) argv.push_back(s.data());
  argv.push_back(nullptr);

  // posix_spawn rather than fork: a sanitized test process has a large
  // address space, and fork would copy its page tables for every program.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (!opts.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, opts.cwd.c_str());
  pid_t pid = -1;
  int spawn_error = posix_spawn(&pid, prog.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    // The program could not start (no such program, or no such directory).
    RunResult r;
    r.status = 127;
    r.err = std::string("cannot start ") + prog + ": " + strerror(spawn_error);
    return r;
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult r;
  if (WIFEXITED(wstatus))
    r.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    r.status = 128 + WTERMSIG(wstatus);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

// PCAP files for the frame store's tests, fields in host byte order.
struct PcapGlobal {
  uint32_t magic = 0xa1b2c3d4;
  uint16_t major = 2, minor = 4;
  int32_t thiszone = 0;
  uint32_t sigfigs = 0, snaplen = 65535, network = 1;
};

template <typename T>
inline void append_raw(std::string &s, T v) {
  s.append(reinterpret_cast<const char *>(&v), sizeof v);
}

inline std::string pcap_global_header(const PcapGlobal &g = {}) {
  std::string s;
  append_raw(s, g.magic);
  append_raw(s, g.major);
  append_raw(s, g.minor);
  append_raw(s, g.thiszone);
  append_raw(s, g.sigfigs);
  append_raw(s, g.snaplen);
  append_raw(s, g.network);
  return s;
}

inline std::string pcap_record_header(int32_t sec, int32_t frac, uint32_t incl_len,
                                      uint32_t orig_len) {
  std::string s;
  append_raw(s, sec);
  append_raw(s, frac);
  append_raw(s, incl_len);
  append_raw(s, orig_len);
  return s;
}

// A record whose incl_len is the size of data.
inline std::string pcap_record(int32_t sec, int32_t frac, const std::string &data,
                               uint32_t orig_len = 0) {
  return pcap_record_header(sec, frac, static_cast<uint32_t>(data.size()),
                            orig_len != 0 ? orig_len : static_cast<uint32_t>(data.size())) +
         data;
}

// The capture written on a machine of the other byte order: every field of
// the global header and of the record headers swapped, payloads as they
// are.  classic must hold whole records in host order.
inline std::string pcap_swapped(std::string classic) {
  auto swap = [&classic](size_t at, size_t width) {
    std::reverse(classic.begin() + static_cast<std::ptrdiff_t>(at),
                 classic.begin() + static_cast<std::ptrdiff_t>(at + width));
  };
  const size_t global_widths[] = {4, 2, 2, 4, 4, 4, 4};
  size_t at = 0;
  for (size_t w : global_widths) swap(at, w), at += w;
  while (at + 16 <= classic.size()) {
    uint32_t incl_len;
    memcpy(&incl_len, classic.data() + at + 8, sizeof incl_len);
    for (int k = 0; k < 4; ++k) swap(at + 4 * k, 4);
    at += 16 + incl_len;
  }
  return classic;
}

// n bytes that differ from frame to frame (tag) and from byte to byte.
inline std::string frame_bytes(size_t n, int tag) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(tag * 31 + i * 7);
  return s;
}

// The head every HTML page of the status pages starts with (after the CGI
// header lines), up to the optional refresh line, and the rest of the head.
inline const std::string kHtmlHead =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
    "\"http://www.w3.org/TR/html4/loose.dtd\">\n"
    "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
    "<meta name=\"robots\" content=\"noindex,nofollow\">\n"
    "<title>ORVIK</title>\n";
inline const std::string kHtmlStyle =
    "<style type=\"text/css\">\n.pgbar { background-color: green; float:left; \n}\n</style>\n"
    "</head><body>\n";

// A stream in memory: what is written to out() reads back from text().
class MemStream {
 public:
  MemStream() { out_ = open_memstream(&buf_, &len_); }
  ~MemStream() {
    if (out_ != nullptr) fclose(out_);
    free(buf_);
  }
  MemStream(const MemStream &) = delete;
  MemStream &operator=(const MemStream &) = delete;
  FILE *out() { return out_; }
  std::string text() {
    fflush(out_);
    return std::string(buf_, len_);
  }

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *out_ = nullptr;
};

// Sets the library's message level for one scope and restores it after.
class ScopedVerbose {
 public:
  explicit ScopedVerbose(int level) : saved_(verbose) { verbose = level; }
  ~ScopedVerbose() { verbose = saved_; }
  ScopedVerbose(const ScopedVerbose &) = delete;
  ScopedVerbose &operator=(const ScopedVerbose &) = delete;

 private:
  int saved_;
};

}  // namespace orvik_test

#endif
