// End-to-end tests of orvik.cgi: the program runs as a web server would
// start it, with a request environment, in a directory holding a small
// design description, against a copy of a simulated card.
#include <gtest/gtest.h>

#include <string>

#include "fastcgi_client.h"
#include "test_util.h"

namespace {

using orvik_test::read_file;
using orvik_test::RunOptions;
using orvik_test::RunResult;
using orvik_test::TempDir;
using orvik_test::write_file;

const char kDesign[] = R"(<?xml version="1.0"?>
<device>
  <modules>
    <mac bus="VQBUS" header="MAC">
      <addresses><address ba="0x1000"/><address ba="0x2000"/></addresses>
      <items>
        <item><name>rx_ok</name><display>Frames received</display>
          <offset>0</offset><access>RW</access><format>DEC</format></item>
        <item><name>link</name><display>Link</display><offset>4</offset>
          <bitmask>1</bitmask><access>RO</access><format>INDICATE</format></item>
      </items>
    </mac>
  </modules>
</device>
)";

const char kCard[] =
    "firmware 7\n"
    "ident board sub c0 p0 c1 p1\n"
    "vq 0x1000 0 5\n"
    "vq 0x1000 4 1\n"
    "vq 0x2000 0 9\n";

std::string page(const std::string &body, bool refresh) {
  return "Content-type: text/html\n\n" + orvik_test::kHtmlHead +
         (refresh ? "<meta http-equiv=\"refresh\" content=\"5\">" : "") +
         orvik_test::kHtmlStyle + body + "</body></html>\n";
}

std::string error_page(unsigned status, const std::string &message) {
  return "Content-type: text/html\nStatus: " + std::to_string(status) + "\n\n" +
         orvik_test::kHtmlHead + "</head><body>\n<h1>" + std::to_string(status) + " - " + message + "</h1>\n</body>";
}

std::string list_page(const std::string &ident) {
  return page("<h1>Available sections</h1><a href=\"?s=1\">MAC</a>\n</br>\n"
              "<a href=\"?s=2\">MAC 2</a>\n</br>\n"
              "<h1>Identification</h1>\n" + ident + "</br>\n",
              false);
}

const std::string kIdent =
    "FW version: 7</br>\nBoard name: board - sub<br>\nIF0: c0 (p0)<br>\nIF1: c1 (p1)<br>\n";

std::string dec_form(const std::string &name, unsigned long long v) {
  return "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"" + name +
         "\"><input type=\"text\" value=\"" + std::to_string(v) +
         "\" name=\"val\"><input type=\"submit\" value=\"Set\"></form>";
}

std::string section_rows(const std::string &suffix, unsigned long long rx, bool up) {
  return "<tr><th><a href='?S=rx_ok" + suffix + "'>Frames received</a></th>\n<td>" +
         dec_form("rx_ok" + suffix, rx) + "</td>\n</tr>\n<tr><th>Link</th>\n<td>" +
         (up ? "<img src='/images/indicate_up.gif' alt='UP' title='UP'> (up)"
             : "<img src='/images/indicate_down.gif' alt='DOWN' title='DOWN'> (down)") +
         "</td>\n</tr>\n";
}

std::string section_page(const std::string &rows) {
  return page("<a href=\"?\">List of sections</a>\n</br>\n" +
                  (rows.empty() ? "" : "<table>" + rows + "</table>\n"),
              true);
}

class CgiTest : public testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_.file("addresses.xml"), kDesign);
    write_file(card(), kCard);
  }

  std::string card() const { return dir_.file("card.sim"); }
  std::string trace() const { return dir_.file("trace"); }

  // query nullptr: QUERY_STRING unset.  env adds to (or, empty, unsets)
  // the request environment.
  RunResult get(const char *query, std::map<std::string, std::string> env = {}) {
    RunOptions opts;
    opts.cwd = dir_.path();
    opts.env = {{"LUDRA_SIM", card()}, {"LUDRA_SIM_TRACE", trace()}, {"QUERY_STRING", ""},
                {"HTTP_REFERER", ""}, {"TESSEL_VERBOSE", ""}};
    for (const auto &[k, v] : env) opts.env[k] = v;
    std::vector<std::string> args;
    // env(1) can set a variable to the empty text, which RunOptions cannot.
    if (query != nullptr) args.push_back(std::string("QUERY_STRING=") + query);
    args.push_back(orvik_test::program("orvik.cgi"));
    RunResult r = orvik_test::run("/usr/bin/env", args, opts);
    EXPECT_EQ(0, r.status) << (query ? query : "(unset)") << "\n" << r.err;
    return r;
  }

  std::string writes() const {
    std::string all = read_file(trace()), out;
    size_t at = 0;
    while ((at = all.find("wr4 ", at)) != std::string::npos) {
      size_t end = all.find('\n', at);
      out += all.substr(at, end - at + 1);
      at = end;
    }
    return out;
  }

  TempDir dir_;
};

TEST_F(CgiTest, QueriesThatGiveTheListPage) {
  for (const char *q : {"", "s=abc", "x=1&s=2", "val=3", "s="}) {
    EXPECT_EQ(list_page(kIdent), get(q).out) << q;
  }
  EXPECT_EQ("", writes());
}

TEST_F(CgiTest, ListPageWithoutCardShowsUnsetIdentificationAsNA) {
  EXPECT_EQ(list_page("FW version: 0</br>\nBoard name: N/A - N/A<br>\nIF0: N/A (N/A)<br>\n"
                      "IF1: N/A (N/A)<br>\n"),
            get("", {{"LUDRA_SIM", ""}}).out);
}

TEST_F(CgiTest, SectionPages) {
  EXPECT_EQ(section_page(section_rows("", 5, true)), get("s=1").out);
  EXPECT_EQ(section_page(section_rows("~2", 9, false)), get("s=2&junk").out);
  EXPECT_EQ(section_page(section_rows("", 5, true) + section_rows("~2", 9, false)),
            get(nullptr).out);
  EXPECT_EQ(section_page(section_rows("", 5, true) + section_rows("~2", 9, false)),
            get("s=0").out);
  EXPECT_EQ(section_page(""), get("s=3").out);
  EXPECT_EQ(section_page(""), get("s=4294967295").out);
}

TEST_F(CgiTest, ChangeRequestsWriteAndRedirect) {
  const struct {
    const char *query;
    std::string written;
  } cases[] = {
      {"S=rx_ok&val=0x1F", "wr4 0x1000 0x0 0x1f\n"},
      {"S=rx_ok&val=31", "wr4 0x1000 0x0 0x1f\n"},
      {"s=1&S=rx_ok&val=31", "wr4 0x1000 0x0 0x1f\n"},
      {"S=rx_ok", "wr4 0x1000 0x0 0xfffffffa\n"},  // toggles every bit of 5
      {"S=rx_ok%7E2&val=%30x2A", "wr4 0x2000 0x0 0x2a\n"},
      {"S=rx_ok~2", "wr4 0x2000 0x0 0xfffffff6\n"},
  };
  for (const auto &c : cases) {
    write_file(card(), kCard);
    write_file(trace(), "");
    RunResult r = get(c.query, {{"HTTP_REFERER", "http://h/cgi-bin/orvik.cgi?s=1"}});
    EXPECT_EQ("Location: http://h/cgi-bin/orvik.cgi?s=1\n\n", r.out) << c.query;
    EXPECT_EQ(c.written, writes()) << c.query;
  }
}

TEST_F(CgiTest, ChangedValueIsWhatTheNextPageShows) {
  get("S=rx_ok%7E2&val=1234");
  EXPECT_EQ(section_page(section_rows("~2", 1234, false)), get("s=2").out);
}

TEST_F(CgiTest, RedirectWithoutUsableReferer) {
  EXPECT_EQ("Location: /cgi-bin/orvik.cgi\n\n", get("S=rx_ok&val=1").out);
  EXPECT_EQ("Location: /cgi-bin/orvik.cgi\n\n",
            get("S=rx_ok&val=1", {{"HTTP_REFERER", "http://h/\r\nSet-Cookie: x=1"}}).out);
}

TEST_F(CgiTest, ValueThatIsNotANumberChangesNothing) {
  for (const char *q : {"S=rx_ok&val=abc", "S=rx_ok&val=", "S=rx_ok&val=12x"}) {
    EXPECT_EQ(error_page(400, "Error - value is not a number"), get(q).out) << q;
  }
  EXPECT_EQ(kCard, read_file(card()));
  EXPECT_EQ("", writes());
}

TEST_F(CgiTest, RefusedChangesGiveErrorPages) {
  const std::string refused = error_page(500, "Error - change value was not successful");
  EXPECT_EQ(refused, get("S=nosuch&val=1").out);
  EXPECT_EQ(refused, get("S=rx_o&val=1").out);       // a prefix is not a name
  EXPECT_EQ(refused, get("S=rx_ok%00x&val=1").out);  // a NUL does not cut the name
  EXPECT_EQ(refused, get("S=link").out);             // read-only
  EXPECT_EQ(refused, get("S=rx_ok&val=1", {{"LUDRA_SIM", ""}}).out);
  EXPECT_EQ("", writes());
  EXPECT_EQ(kCard, read_file(card()));
}

TEST_F(CgiTest, LoadAndReadFailuresGiveErrorPages) {
  EXPECT_EQ(error_page(500, "Error - reading values from hardware"),
            get("s=1", {{"LUDRA_SIM", ""}}).out);
  write_file(dir_.file("addresses.xml"), "<nodevice/>\n");
  EXPECT_EQ(error_page(500, "Error - initialisation of ovkc"), get("s=1").out);
  std::remove(dir_.file("addresses.xml").c_str());
  EXPECT_EQ(error_page(500, "Error - could not open configuration file"), get("").out);
}

TEST_F(CgiTest, MessagesGoToStandardErrorOnly) {
  RunResult r = get("", {{"TESSEL_VERBOSE", "0"}});
  EXPECT_EQ(list_page(kIdent), r.out);
  EXPECT_NE(std::string::npos, r.err.find("loaded configuration")) << r.err;
}

TEST_F(CgiTest, ChangesFromAnotherSiteAreRefusedAndLogged) {
  RunResult r = get("S=rx_ok&val=7", {{"HTTP_HOST", "h:80"}, {"HTTP_ORIGIN", "http://h:81"}});
  EXPECT_EQ(error_page(403, "Error - change request from another site"), r.out);
  EXPECT_EQ("orvik.cgi: 403 Error - change request from another site; query \"S=rx_ok&val=7\"\n",
            r.err);
  EXPECT_EQ(list_page(kIdent), get("xS=rx_ok", {{"HTTP_HOST", "h:80"}}).out);
  EXPECT_EQ("", writes());
}

// orvik.cgi started by a FastCGI server: one process answers every request.
class FastCgiTest : public CgiTest {
 protected:
#ifndef ORVIK_HAVE_FCGI
  void SetUp() override { GTEST_SKIP() << "orvik.cgi is built without libfcgi"; }
#endif
  void start(std::vector<std::string> argv = {}) {
    argv.push_back(orvik_test::program("orvik.cgi"));
    app_ = std::make_unique<orvik_test::FcgiApp>(argv, std::vector<std::string>{"LUDRA_SIM=" + card()},
                                                 dir_.path(), dir_.file("sock"), dir_.file("log"));
  }

  // The same request, on the same card, to the FastCGI process and to the
  // program run as a CGI: the answers, the error logs and the card after
  // it must be the same.  Returns the answer.  query nullptr: unset.
  std::string same(const char *query, std::map<std::string, std::string> env = {}) {
    const char *shown = query != nullptr ? query : "(unset)";
    std::string before = read_file(card());
    if (query != nullptr) env["QUERY_STRING"] = query;
    auto f = app_->request(env);
    EXPECT_TRUE(f.complete) << shown;
    std::string card_after = read_file(card());
    if (!before.empty()) write_file(card(), before);
    env.erase("QUERY_STRING");
    RunResult c = get(query, env);
    EXPECT_EQ(c.out, f.out) << shown;
    EXPECT_EQ(c.err, f.err) << shown;
    EXPECT_EQ(read_file(card()), card_after) << shown;
    return f.out;
  }

  // count mixed requests that leave the card as it was, each answer checked;
  // then the process must end cleanly.  Returns the growth in kB after the
  // first 100.
  long mixed_requests(int count) {
    const char *queries[] = {"",         "s=1",      "s=0",           nullptr,
                             "S=rx_ok&val=5", "S=nosuch", "S=rx_ok&val=x", "s=1&format=json",
                             "format=prometheus"};
    std::vector<std::string> expected;
    for (const char *q : queries) expected.push_back(same(q));
    long rss_warm = 0;
    for (int i = 0; i < count; ++i) {
      std::map<std::string, std::string> env;
      if (const char *q = queries[i % std::size(queries)]) env["QUERY_STRING"] = q;
      EXPECT_EQ(expected[i % std::size(queries)], app_->request(env).out) << i;
      if (i == 99) rss_warm = rss();
    }
    long growth = rss() - rss_warm;
    EXPECT_EQ(0, app_->stop()) << read_file(dir_.file("log"));
    return growth;
  }

  long rss() const {
    std::string status = read_file("/proc/" + std::to_string(app_->pid()) + "/status");
    return atol(status.c_str() + status.find("VmRSS:") + 6);
  }

  std::unique_ptr<orvik_test::FcgiApp> app_;
};

TEST_F(FastCgiTest, AnswersAreTheCgisByteForByte) {
  start();
  const char *host = "127.0.0.1:8080", *own = "http://127.0.0.1:8080/cgi-bin/orvik.cgi?s=2";
  for (const char *q : {"", "s=1", "s=2&junk", "s=0", "s=3", "S=rx_ok%7E2", "S=rx_ok&interval=7",
                        "xS=rx_ok", "S=rx_ok&val=abc", "S=nosuch&val=1", "S=link", "format=json",
                        "s=2&format=json", "s=1&format=prometheus", "format=xml"})
    same(q, {{"REMOTE_ADDR", "192.0.2.1"}});
  same(nullptr);
  same("S=rx_ok&val=0x1F", {{"HTTP_REFERER", own}, {"HTTP_HOST", host}});
  same("S=rx_ok&val=1", {{"HTTP_HOST", host}, {"HTTP_SEC_FETCH_SITE", "cross-site"}});
}

// Nothing of one request shows in the next: the card is read afresh, the
// description follows its file, failures leave no state behind.
TEST_F(FastCgiTest, EveryRequestSeesTheFileAndCardAsTheyAreNow) {
  start();
  EXPECT_EQ(list_page(kIdent), same(""));
  same("S=rx_ok%7E2&val=1234");
  EXPECT_EQ(section_page(section_rows("~2", 1234, false)), same("s=2"));
  std::rename(card().c_str(), dir_.file("away").c_str());  // the card goes
  for (const char *q : {"", "s=1", "S=rx_ok&val=1", "format=json", "format=prometheus"}) same(q);
  std::rename(dir_.file("away").c_str(), card().c_str());
  EXPECT_EQ(list_page(kIdent), same(""));
  // One section less, then no description, then a broken one, then back.
  std::string one = kDesign;
  write_file(dir_.file("addresses.xml"), one.erase(one.find("<address ba=\"0x2000\"/>"), 22));
  EXPECT_EQ(section_page(""), same("s=2"));
  std::remove(dir_.file("addresses.xml").c_str());
  same("s=1");
  same("format=json");
  write_file(dir_.file("addresses.xml"), "<nodevice/>\n");
  same("s=1");
  write_file(dir_.file("addresses.xml"), kDesign);
  EXPECT_EQ(list_page(kIdent), same(""));
}

// A long mixed run in one process: every answer right, no growth, nothing
// left allocated at the end (LeakSanitizer in the sanitizer tree, valgrind
// in the plain one).
TEST_F(FastCgiTest, ThousandMixedRequestsInOneProcess) {
  start();
  long growth = mixed_requests(1000);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine grows by design
  EXPECT_LE(growth, 64) << "kB grown after the first 100 requests";
#else
  (void)growth;
#endif
}

// A stop that comes while the process goes back to waiting for the next
// request ends it all the same, at once.
TEST_F(FastCgiTest, StopRightAfterARequestEndsTheProcess) {
  for (int round = 0; round < 30; ++round) {
    std::remove(dir_.file("sock").c_str());
    start();
    EXPECT_TRUE(app_->request({}).complete) << round;
    ASSERT_EQ(0, app_->stop()) << round << read_file(dir_.file("log"));
  }
}

TEST_F(FastCgiTest, ThousandMixedRequestsUnderValgrind) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "valgrind cannot watch a sanitized program";
#endif
  start({"/usr/bin/valgrind", "-q", "--error-exitcode=1", "--leak-check=full",
         "--errors-for-leak-kinds=definite,indirect"});
  mixed_requests(1000);
}

}  // namespace
