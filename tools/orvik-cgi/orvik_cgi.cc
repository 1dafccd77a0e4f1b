// orvik.cgi: the card's status pages for a web server.
//
// Started by a web server as a CGI program it answers one request: read the
// request, load the design description, then exactly one answer on
// standard output (list page, section page, redirect after a change, or
// error page).  Started by a FastCGI server (standard input is a listening
// socket) it answers request after request in one process and keeps the
// parsed description between them, loading it again when the file changes;
// the card is read afresh for every request and the answers are the same,
// byte for byte.  The exit status is 0 on every path; failures are told by
// the error page and its status.  Messages go to standard error, which the
// server keeps as its error log; every refused or failed request leaves one
// line there.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "format_answer.h"
#include "html.h"
#include "ludra.h"
#include "request.h"
#include "stat.h"
#include "tessel.h"

#ifdef ORVIK_HAVE_FCGI
#include <fcgiapp.h>
#endif

namespace {

using orvik_cgi::Format;
using orvik_cgi::Page;
using orvik_cgi::Request;
using orvik_cgi::ValueKind;


const char kDefaultTarget[] = "/cgi-bin/orvik.cgi";
const char kDescription[] = "addresses.xml";
const char kConfigDir[] = "/etc/morvex/orvik/";
const char kCard[] = "/dev/ludrax/0";

// The request's environment: the process's own for a CGI, the parameters
// of the FastCGI request otherwise.  Returns nullptr for an unset name.
using Lookup = std::function<const char *(const char *)>;

// Where the error log lines go.
using LogLine = std::function<void(const std::string &)>;

// Identification texts stay unset when the card could not be read.
const char *shown(const char *text) { return text != nullptr ? text : "N/A"; }

// The board identification the list page shows.
struct Identification {
  uint32_t fw_version = 0;
  std::string texts[6];
  bool set[6] = {};

  const char *text(int i) const { return set[i] ? texts[i].c_str() : nullptr; }
  void put(int i, const char *text) {
    set[i] = text != nullptr;
    texts[i] = text != nullptr ? text : "";
  }
};

// As the library's initialisation left it.
Identification identification_of_library() {
  Identification id;
  id.fw_version = ovkc_fw_version;
  const char *texts[6] = {ovkc_board,    ovkc_board_subtype, ovkc_if0_card,
                          ovkc_if0_chip, ovkc_if1_card,      ovkc_if1_chip};
  for (int i = 0; i < 6; ++i) id.put(i, texts[i]);
  return id;
}

// Read from the card now, as the library's initialisation reads it, for a
// process that keeps the description loaded: an unreachable card shows as
// version 0 and unset texts, just as a fresh process shows it.
Identification identification_of_card() {
  Identification id;
  vq_dev_t dev = nullptr;
  if (vq_attach_noex(&dev, kCard) != 0) {
    if (verbose >= 1) verbose_msg(1, "vq_attach failed.");
    return id;
  }
  id.fw_version = vq_firmware_get(dev);
  const char *texts[6] = {};
  vq_identify_cv2(dev, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4], &texts[5]);
  for (int i = 0; i < 6; ++i) id.put(i, texts[i] != nullptr ? texts[i] : "");
  vq_detach(&dev);
  return id;
}

// The design description as the register library holds it.  A CGI loads it
// for its one request; a persistent process keeps it while the file stays
// the same (same path, device, inode, size and times).
class Description {
 public:
  explicit Description(bool persistent) : persistent_(persistent) {}
  Description(const Description &) = delete;
  Description &operator=(const Description &) = delete;
  ~Description() { unload(); }

  // The result of ovkc_init.
  int load() {
    if (!persistent_) return ovkc_init(kDescription);
    std::string now = identity();
    if (loaded_ && !now.empty() && now == identity_) return OVKC_OK;
    unload();
    int rc = ovkc_init(kDescription);
    if (rc != OVKC_OK) {
      ovkc_free();
      return rc;
    }
    loaded_ = true;
    identity_ = now;
    return OVKC_OK;
  }

  // The end of one request: the values read for it go.
  void done() {
    if (persistent_)
      ovkc_free_datalist();
    else
      ovkc_free();
  }

  // A failed request leaves nothing behind either.
  void drop() {
    if (persistent_) unload();
    ovkc_free();
  }

  Identification identification() const {
    return persistent_ ? identification_of_card() : identification_of_library();
  }

 private:
  void unload() {
    if (loaded_) ovkc_free();
    loaded_ = false;
    identity_.clear();
  }

  // The file the library would open, as a text that changes whenever the
  // file does; empty when neither place holds a readable file.
  static std::string identity() {
    std::string paths[2] = {kDescription, std::string(kConfigDir) + kDescription};
    for (const std::string &path : paths) {
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat st;
      bool ok = fstat(fd, &st) == 0;
      close(fd);
      if (!ok) return {};
      char buf[256];
      snprintf(buf, sizeof buf, " %llu %llu %lld %lld.%09ld %lld.%09ld",
               (unsigned long long)st.st_dev, (unsigned long long)st.st_ino,
               (long long)st.st_size, (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
               (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
      return path + buf;
    }
    return {};
  }

  bool persistent_;
  bool loaded_ = false;
  std::string identity_;
};

// One answer: the page document on the answer's stream, its body released
// when the answer is done.
class Answer {
 public:
  Answer(FILE *out, const Lookup &env, const LogLine &log)
      : out_(out), env_(env), log_(log) {
    html_init_doc(&doc_, 1, 0, nullptr, out);
  }
  Answer(const Answer &) = delete;
  Answer &operator=(const Answer &) = delete;
  ~Answer() { html_free_doc(&doc_); }

  html_doc_t *doc() { return &doc_; }
  void append(html_tag_t *tag) { html_append_body_tag(&doc_, tag); }

  // The error page, and its line in the error log.
  void fail(uint32_t status, const char *message) {
    html_free_doc(&doc_);
    html_render_error(&doc_, status, message);
    log_failure(status, message);
  }

  // The error log line alone, for answers that are not pages.
  void log_failure(uint32_t status, const char *message) {
    std::string line = "orvik.cgi: " + std::to_string(status) + " " + message;
    const char *query = env_("QUERY_STRING");
    line += "; query \"" + printable(query != nullptr ? query : "") + "\"";
    if (const char *peer = env_("REMOTE_ADDR")) line += " from " + printable(peer);
    log_(line);
  }

  void redirect(const char *target) {
    html_init_doc(&doc_, 1, 0, target, out_);
    html_render(&doc_);
  }

 private:
  // A log line stays one line: control bytes become "?", and it stays short.
  static std::string printable(const char *text) {
    std::string out;
    for (const char *p = text; *p != '\0' && out.size() < 200; ++p)
      out += (unsigned char)*p < 0x20 || *p == 0x7f || *p == '"' ? '?' : *p;
    return out;
  }

  FILE *out_;
  const Lookup &env_;
  const LogLine &log_;
  html_doc_t doc_ = {};
};

// A text node owning a text made by html_alloc_string.
html_tag_t *owned_text(char *text) {
  return html_create_tag(text, nullptr, 1, 0, 1, 0, nullptr, nullptr);
}

void print_sections(Answer &page) {
  unsigned number = 1;
  name_list_t *names = ovkc_get_namelist();
  for (const name_list_t *n = names; n != nullptr; n = n->next) {
    page.append(owned_text(html_alloc_string("<a href=\"?s=%u\">%s</a>\n", number++, n->name)));
    page.append(html_create_linebreak());
  }
  ovkc_free_namelist(&names);
}

void identify(Answer &page, const Identification &id) {
  page.append(html_create_const_text("<h1>Identification</h1>\n"));
  page.append(owned_text(html_alloc_string("FW version: %u", id.fw_version)));
  page.append(html_create_linebreak());
  page.append(owned_text(html_alloc_string(
      "Board name: %s - %s<br>\nIF0: %s (%s)<br>\nIF1: %s (%s)<br>\n", shown(id.text(0)),
      shown(id.text(1)), shown(id.text(2)), shown(id.text(3)), shown(id.text(4)),
      shown(id.text(5)))));
  page.append(html_create_linebreak());
}

void build_list_page(Answer &page, const Description &description) {
  page.append(html_create_const_text("<h1>Available sections</h1>"));
  ovkc_read_values();  // applies the configuration items; the names need no read
  print_sections(page);
  identify(page, description.identification());
}

// False when the card could not be read.
bool build_section_page(Answer &page, int32_t section) {
  if (ovkc_read_values_by_module(section) != OVKC_OK) return false;
  ovkc_solver();
  // The section page reloads itself so the registers stay current.
  html_init_doc(page.doc(), 1, 5, nullptr, page.doc()->out);
  page.append(html_create_link("?", "List of sections"));
  page.append(html_create_linebreak());
  html_tag_t *table = html_create_table_from_list(ovkc_get_datalist());
  if (table != nullptr) page.append(table);
  ovkc_free_datalist();  // the table holds its own copies
  return true;
}

// The redirect target goes into a header line: a referer that could end
// the line early is not used.
const char *redirect_target(const Lookup &env) {
  const char *referer = env("HTTP_REFERER");
  if (referer == nullptr || strpbrk(referer, "\r\n") != nullptr) return kDefaultTarget;
  return referer;
}

// False when the library refused.
bool change_value(const Request &req) {
  if (!req.item_usable) return false;  // a name holding a NUL byte names no item
  if (req.value_kind == ValueKind::kNumber)
    return ovkc_change_value(req.item.c_str(), MODE_SET, req.value) == OVKC_OK;
  return ovkc_change_value(req.item.c_str(), MODE_TOGGLE, 0) == OVKC_OK;
}

// What a description that did not load answers.
const char *load_error(int rc) {
  return rc == OVKC_INIT_NOT_FOUND ? "Error - could not open configuration file" : "Error - initialisation of ovkc";
}

// A JSON or Prometheus answer on out.
void answer_in_format(const Request &req, Answer &page, Description &description, FILE *out) {
  int rc = description.load();
  if (rc != OVKC_OK) {
    page.log_failure(500, load_error(rc));
    orvik_cgi::write_format_error(out, req.format, 500, load_error(rc));
    description.drop();
    return;
  }
  if (verbose >= 0) verbose_msg(0, "loaded configuration");
  Identification card = description.identification();
  orvik_status::Identity id{card.fw_version, card.text(0), card.text(1), card.text(2),
                            card.text(3),    card.text(4), card.text(5)};
  if (!orvik_cgi::write_format_document(req, out, id)) page.log_failure(500, orvik_cgi::kReadError);
  description.done();
}

void answer(const Request &req, Answer &page, Description &description, const Lookup &env) {
  int rc = description.load();
  if (rc != OVKC_OK) {
    page.fail(500, load_error(rc));
    description.drop();
    return;
  }
  if (verbose >= 0) verbose_msg(0, "loaded configuration");

  if (req.change) {
    bool done = change_value(req);
    description.done();
    if (done)
      page.redirect(redirect_target(env));
    else
      page.fail(500, "Error - change value was not successful");
    return;
  }

  if (req.page == Page::kSection) {
    if (!build_section_page(page, req.section)) {
      page.fail(500, orvik_cgi::kReadError);
      description.done();
      return;
    }
  } else {
    build_list_page(page, description);
  }
  html_render(page.doc());
  description.done();
}

// One request, answered on out.
void handle(const Lookup &env, Description &description, FILE *out, const LogLine &log) {
  Answer page(out, env, log);
  try {
    Request req = orvik_cgi::parse_request(env("QUERY_STRING"));
    orvik_cgi::RequestHeaders headers;
    headers.host = env("HTTP_HOST");
    headers.origin = env("HTTP_ORIGIN");
    headers.referer = env("HTTP_REFERER");
    headers.fetch_site = env("HTTP_SEC_FETCH_SITE");
    const char *https = env("HTTPS");
    headers.https = https != nullptr && strcmp(https, "on") == 0;
    if (req.change && orvik_cgi::from_other_site(headers))
      page.fail(403, "Error - change request from another site");
    // A value that is not a number must never reach the card: without this
    // check the request would fall back to toggling the item's bits.
    else if (req.change && req.value_kind == ValueKind::kInvalid)
      page.fail(400, "Error - value is not a number");
    else if (!req.change && req.format == Format::kUnknown)
      page.fail(400, "Error - unknown format");
    else if (!req.change && req.format != Format::kHtml)
      answer_in_format(req, page, description, out);
    else
      answer(req, page, description, env);
  } catch (...) {
    description.drop();
    page.fail(500, "Error - out of memory");
  }
}

void run_cgi() {
  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof(out_buffer));
  Description description(false);
  handle([](const char *name) -> const char * { return getenv(name); }, description, stdout,
         [](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });
  fflush(stdout);
}

#ifdef ORVIK_HAVE_FCGI

volatile sig_atomic_t stopping = 0;
int stop_fd = -1;  // /dev/null, put in the listening socket's place by a stop

// A stop that comes after the loop's check but before accept() waits
// would be lost, and the process would wait for a request that never
// comes: the process's own descriptor of the listening socket is replaced,
// so that accept() fails at once (other processes sharing the socket keep
// theirs, and a request under way has its own connection).
void stop(int) {
  int saved = errno;
  stopping = 1;
  FCGX_ShutdownPending();
  if (stop_fd >= 0) dup2(stop_fd, 0);
  errno = saved;
}

// A FastCGI server hands over a listening socket as standard input: it is
// a socket with no peer.
bool started_by_fastcgi_server() {
  struct sockaddr_storage peer;
  socklen_t len = sizeof peer;
  return getpeername(0, reinterpret_cast<struct sockaddr *>(&peer), &len) != 0 &&
         errno == ENOTCONN;
}

// Requests until the server closes the socket or asks the process to stop
// (SIGTERM, SIGUSR1).  Each answer is built in memory, then sent whole.
void run_fastcgi() {
  stop_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct sigaction sa = {};
  sa.sa_handler = stop;  // no SA_RESTART: a waiting accept returns
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (FCGX_Init() != 0) return;
  FCGX_Request request;
  if (FCGX_InitRequest(&request, 0, 0) != 0) return;
  Description description(true);
  while (!stopping && FCGX_Accept_r(&request) >= 0) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    const Lookup env = [&request](const char *name) -> const char * {
      return FCGX_GetParam(name, request.envp);
    };
    const LogLine log = [&request](const std::string &line) {
      FCGX_FPrintF(request.err, "%s\n", line.c_str());
    };
    if (out != nullptr) {
      handle(env, description, out, log);
      fclose(out);
      FCGX_PutStr(buf, static_cast<int>(len), request.out);
    } else {
      log("orvik.cgi: 500 Error - out of memory");
      FCGX_FPrintF(request.out, "Status: 500\n\n");
    }
    free(buf);
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
}

#endif

}  // namespace

int main() {
#ifdef ORVIK_HAVE_FCGI
  if (started_by_fastcgi_server()) {
    run_fastcgi();
    return 0;
  }
#endif
  run_cgi();
  return 0;
}
