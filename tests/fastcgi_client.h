// A FastCGI application under test and the smallest client that talks to
// it: the application is started with a listening Unix socket as its
// standard input, as a FastCGI server starts it, and every request goes
// over its own connection (responder role, no keep-alive).
#ifndef ORVIK_TESTS_FASTCGI_CLIENT_H
#define ORVIK_TESTS_FASTCGI_CLIENT_H

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace orvik_test {

struct FcgiAnswer {
  bool complete = false;  // the application ended the request
  std::string out;        // its standard output stream
  std::string err;        // its standard error stream
};

class FcgiApp {
 public:
  // argv[0] is the program (or a tool such as valgrind that runs it); env
  // is the whole environment of the process; it starts in cwd.
  FcgiApp(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          const std::string &cwd, const std::string &socket_path, const std::string &log)
      : socket_path_(socket_path) {
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = address();
    unlink(socket_path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0)
      abort();
    pid_ = fork();
    if (pid_ < 0) abort();
    if (pid_ == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(listener, 0);
      dup2(out, 1);
      dup2(out, 2);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<std::string> a = argv, e = env;
      std::vector<char *> args, envp;
      for (auto &s : a) args.push_back(s.data());
      for (auto &s : e) envp.push_back(s.data());
      args.push_back(nullptr);
      envp.push_back(nullptr);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(listener);
  }
  FcgiApp(const FcgiApp &) = delete;
  FcgiApp &operator=(const FcgiApp &) = delete;
  ~FcgiApp() { stop(); }

  pid_t pid() const { return pid_; }

  // SIGTERM, then the exit status (128 + signal when it was killed).
  int stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return status_;
  }

  // One request with these parameters (the CGI variables) and no body.
  FcgiAnswer request(const std::map<std::string, std::string> &params) {
    FcgiAnswer answer;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = address();
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      if (fd >= 0) close(fd);
      return answer;
    }
    std::string pairs;
    for (const auto &[name, value] : params) pairs += length(name) + length(value) + name + value;
    std::string sent = record(kBeginRequest, std::string("\0\1\0\0\0\0\0\0", 8));
    for (size_t at = 0; at < pairs.size(); at += 65535)
      sent += record(kParams, pairs.substr(at, 65535));
    sent += record(kParams, "") + record(kStdin, "");
    bool ok = write_all(fd, sent);
    std::string got;
    char buf[65536];
    ssize_t n;
    while (ok && (n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fd);
    for (size_t at = 0; at + 8 <= got.size();) {
      unsigned char type = static_cast<unsigned char>(got[at + 1]);
      size_t len = static_cast<unsigned char>(got[at + 4]) * 256u +
                   static_cast<unsigned char>(got[at + 5]);
      size_t pad = static_cast<unsigned char>(got[at + 6]);
      std::string body = got.substr(at + 8, len);
      if (type == kStdout) answer.out += body;
      if (type == kStderr) answer.err += body;
      if (type == kEndRequest) answer.complete = true;
      at += 8 + len + pad;
    }
    return answer;
  }

 private:
  enum : unsigned char {
    kBeginRequest = 1, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6, kStderr = 7
  };

  sockaddr_un address() const {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path_.c_str());
    return addr;
  }

  static std::string record(unsigned char type, const std::string &body) {
    std::string r = {1, static_cast<char>(type), 0, 1, static_cast<char>(body.size() >> 8),
                     static_cast<char>(body.size() & 0xff), 0, 0};
    return r + body;
  }

  static std::string length(const std::string &s) {
    if (s.size() < 128) return std::string(1, static_cast<char>(s.size()));
    uint32_t n = static_cast<uint32_t>(s.size()) | 0x80000000u;
    return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
            static_cast<char>(n)};
  }

  static bool write_all(int fd, const std::string &data) {
    for (size_t at = 0; at < data.size();) {
      ssize_t n = write(fd, data.data() + at, data.size() - at);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }

  std::string socket_path_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace orvik_test

#endif
