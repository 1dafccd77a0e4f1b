#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "html.h"
#include "test_util.h"

namespace {

// Captures what a document writes.
using Page = orvik_test::MemStream;

TEST(HtmlRenderTest, EmptyBodyWritesHeadAndTrailer) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 1, 0, nullptr, page.out());
  html_render(&doc);
  EXPECT_EQ("Content-type: text/html\n\n" + orvik_test::kHtmlHead + orvik_test::kHtmlStyle +
                "</body></html>\n",
            page.text());
  html_free_doc(&doc);
}

TEST(HtmlRenderTest, RefreshLineStandsBeforeStyleWithoutLineFeed) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 1, 5, nullptr, page.out());
  EXPECT_EQ(1, doc.refresh);
  html_render(&doc);
  EXPECT_EQ("Content-type: text/html\n\n" + orvik_test::kHtmlHead +
                "<meta http-equiv=\"refresh\" content=\"5\">" +
                orvik_test::kHtmlStyle + "</body></html>\n",
            page.text());
}

TEST(HtmlRenderTest, RedirectWritesOnlyLocation) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 1, 5, "/back?s=2", page.out());
  html_append_body_tag(&doc, html_create_const_text("ignored"));
  html_render(&doc);
  EXPECT_EQ("Location: /back?s=2\n\n", page.text());
  html_free_doc(&doc);
}

TEST(HtmlRenderTest, PlainTextWritesMarkupWithoutTrailer) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 0, 0, nullptr, page.out());
  html_append_body_tag(&doc, html_create_text("a<br>&nbsp;b"));
  html_append_body_tag(&doc, html_create_linebreak());
  html_append_body_tag(&doc, html_create_header(2, "Title"));
  html_append_body_tag(&doc, html_create_link("?", "List of sections"));
  html_render(&doc);
  EXPECT_EQ(
      "Content-type: text/plain\n\na<br>&nbsp;b</br>\n<h2>Title</h2>\n"
      "<a href=\"?\">List of sections</a>\n",
      page.text());
  html_free_doc(&doc);
  EXPECT_EQ(nullptr, doc.body);
  EXPECT_EQ(nullptr, doc.body_last);
}

TEST(HtmlRenderTest, NestedAndNamelessNodes) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 0, 0, nullptr, page.out());
  // Paired without name writes only its children; nameless text and single
  // elements still write a placeholder.
  html_tag_t *inner = html_create_tag(nullptr, nullptr, 0, 1, 0, 0, nullptr,
                                      html_create_const_text("x"));
  html_tag_t *td = html_create_tag(const_cast<char *>("td"), const_cast<char *>("colspan=\"2\""),
                                   0, 1, 0, 0, nullptr, inner);
  html_append_body_tag(&doc, html_create_tag(const_cast<char *>("tr"), nullptr, 0, 1, 0, 0,
                                             nullptr, td));
  html_append_body_tag(&doc, html_create_const_text(nullptr));
  html_append_body_tag(&doc, html_create_tag(nullptr, nullptr, 0, 0, 0, 0, nullptr, nullptr));
  html_render(&doc);
  EXPECT_EQ("Content-type: text/plain\n\n<tr><td colspan=\"2\">x</td>\n</tr>\nNULL</NULL>\n",
            page.text());
  html_free_doc(&doc);
}

TEST(HtmlRenderTest, ErrorPageHasStatusAndNoBody) {
  Page page;
  html_doc_t doc{};
  html_init_doc(&doc, 1, 5, "/ignored", page.out());
  html_append_body_tag(&doc, html_create_const_text("body"));
  html_render_error(&doc, 500, "Error - reading values from hardware");
  EXPECT_EQ("Content-type: text/html\nStatus: 500\n\n" + orvik_test::kHtmlHead +
                "</head><body>\n<h1>500 - Error - reading values from hardware</h1>\n</body>",
            page.text());
  html_free_doc(&doc);
}

TEST(HtmlRenderTest, ErrorPageOfPlainOrUninitialisedDocumentWritesNothing) {
  Page page;
  html_doc_t doc{};
  html_render_error(&doc, 500, "x");  // never initialised: no stream
  html_init_doc(&doc, 0, 0, nullptr, page.out());
  html_render_error(&doc, 500, "x");
  EXPECT_EQ("", page.text());
}

TEST(HtmlTreeTest, AllocStringSizesExactly) {
  char *s = html_alloc_string("%s-%u-%llX", "ab", 7u, 0xBEEFULL);
  EXPECT_STREQ("ab-7-BEEF", s);
  free(s);
  std::string big(10000, 'z');
  s = html_alloc_string("%s!", big.c_str());
  EXPECT_EQ(big + "!", s);
  free(s);
}

TEST(HtmlTreeTest, CreateTextCopiesAndConstTextRefers) {
  char buf[] = "abc";
  html_tag_t *copy = html_create_text(buf);
  html_tag_t *ref = html_create_const_text(buf);
  buf[0] = 'X';
  EXPECT_STREQ("abc", copy->name);
  EXPECT_EQ(1, copy->owns_name);
  EXPECT_EQ(buf, ref->name);
  EXPECT_EQ(0, ref->owns_name);
  html_free_tag(&copy);
  html_free_tag(&ref);
  EXPECT_EQ(nullptr, copy);
}

TEST(HtmlTreeTest, FreesVeryLongAndVeryDeepTrees) {
  html_doc_t doc{};
  html_init_doc(&doc, 1, 0, nullptr, nullptr);
  for (int i = 0; i < 200000; ++i) html_append_body_tag(&doc, html_create_text("row"));
  html_free_doc(&doc);
  EXPECT_EQ(nullptr, doc.body);

  html_tag_t *deep = nullptr;
  for (int i = 0; i < 200000; ++i)
    deep = html_create_tag(const_cast<char *>("div"), nullptr, 0, 1, 0, 0,
                           html_create_linebreak(), deep);
  html_free_tag(&deep);
  EXPECT_EQ(nullptr, deep);
  html_free_tag(&deep);  // NULL is fine
}

TEST(HtmlTreeTest, PrintTreeListsNamesDepthFirst) {
  html_tag_t *tree = html_create_tag(
      const_cast<char *>("tr"), nullptr, 0, 1, 0, 0, html_create_linebreak(),
      html_create_header(1, "t"));
  testing::internal::CaptureStdout();
  html_print_tree(tree);
  fflush(stdout);
  EXPECT_EQ("tr h1 t br ", testing::internal::GetCapturedStdout());
  html_free_tag(&tree);
}

}  // namespace
