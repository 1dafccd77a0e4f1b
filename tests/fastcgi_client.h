// A FastCGI application under test, started as a FastCGI server starts it
// (a listening Unix socket as standard input), and the smallest client:
// one connection a request, responder role, no body.
#ifndef ORVIK_TESTS_FASTCGI_CLIENT_H
#define ORVIK_TESTS_FASTCGI_CLIENT_H

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "test_util.h"

namespace orvik_test {

class FcgiApp {
 public:
  // argv[0] is run with environment env in cwd; its own output goes to log.
  FcgiApp(std::vector<std::string> argv, std::vector<std::string> env, const std::string &cwd,
          const std::string &sock, const std::string &log) {
    snprintf(addr_.sun_path, sizeof addr_.sun_path, "%s", sock.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0 ||
        listen(listener, 16) != 0 || (pid_ = fork()) < 0)
      abort();
    if (pid_ == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(listener, 0), dup2(out, 1), dup2(out, 2);
      std::vector<char *> args, envp;
      for (auto &s : argv) args.push_back(s.data());
      for (auto &s : env) envp.push_back(s.data());
      args.push_back(nullptr), envp.push_back(nullptr);
      if (chdir(cwd.c_str()) == 0) execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(listener);
  }
  ~FcgiApp() { stop(); }

  pid_t pid() const { return pid_; }

  // SIGTERM, then the exit status (128 + signal when it was killed).  A
  // process still there after kStopSeconds has missed the stop: it is
  // killed, and the status is -1.
  int stop() {
    static constexpr int kStopSeconds = 60;
    int wstatus = 0;
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0) {
      pid_t got = 0;
      for (int i = 0; i < kStopSeconds * 100 && (got = waitpid(pid_, &wstatus, WNOHANG)) == 0; ++i)
        usleep(10000);
      if (got == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &wstatus, 0);
        status_ = -1;
      } else if (got == pid_) {
        status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
      }
    }
    pid_ = -1;
    return status_;
  }

  // One request with these CGI variables; its standard output and error
  // streams, and whether the application ended the request.
  struct Answer {
    bool complete = false;
    std::string out, err;
  };
  Answer request(const std::map<std::string, std::string> &params) {
    std::string pairs, sent = record(1, std::string("\0\1\0\0\0\0\0\0", 8)), got;
    for (const auto &[name, value] : params) pairs += size(name) + size(value) + name + value;
    sent += record(4, pairs) + record(4, "") + record(5, "");  // params < 64 KiB
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    char buf[65536];
    ssize_t n;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) == 0 &&
        write(fd, sent.data(), sent.size()) == static_cast<ssize_t>(sent.size()))
      while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fd);
    Answer a;
    auto byte = [&got](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(got[i])); };
    for (size_t at = 0; at + 8 <= got.size(); at += 8 + byte(at + 4) * 256 + byte(at + 5) + byte(at + 6)) {
      std::string body = got.substr(at + 8, byte(at + 4) * 256 + byte(at + 5));
      if (byte(at + 1) == 6) a.out += body;  // standard output
      if (byte(at + 1) == 7) a.err += body;  // standard error
      if (byte(at + 1) == 3) a.complete = true;
    }
    return a;
  }

 private:
  static std::string record(char type, const std::string &body) {
    return std::string{1, type, 0, 1, static_cast<char>(body.size() >> 8),
                       static_cast<char>(body.size()), 0, 0} + body;
  }
  static std::string size(const std::string &s) {
    uint32_t n = static_cast<uint32_t>(s.size());
    if (n < 128) return std::string(1, static_cast<char>(n));
    return {static_cast<char>(n >> 24 | 0x80), static_cast<char>(n >> 16),
            static_cast<char>(n >> 8), static_cast<char>(n)};
  }

  sockaddr_un addr_ = {AF_UNIX, {}};
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace orvik_test

#endif
