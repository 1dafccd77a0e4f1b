// HTML document tree: construction, rendering with the CGI header lines,
// and release.  Trees are walked with explicit worklists rather than
// recursion, since a section page of a large design holds tens of
// thousands of tags in one sibling chain.
#include "html.h"

#include <err.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "c_util.h"

namespace {

const char kDoctype[] =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
    "\"http://www.w3.org/TR/html4/loose.dtd\">\n";
const char kHeadStart[] =
    "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
    "charset=utf-8\">\n"
    "<meta name=\"robots\" content=\"noindex,nofollow\">\n"
    "<title>ORVIK</title>\n";
const char kStyle[] =
    "<style type=\"text/css\">\n"
    ".pgbar { background-color: green; float:left; \n}\n</style>\n";

// A tag node the caller could not use is worse than stopping: a NULL
// would only crash later, far from the cause.
html_tag_t *new_tag() {
  auto *tag = static_cast<html_tag_t *>(calloc(1, sizeof(html_tag_t)));
  if (tag == nullptr) err(1, "alloc_tag");
  return tag;
}

char *copy_text(const char *text) {
  if (text == nullptr) return nullptr;
  return orvik::xstrdup(text);
}

// A section page writes a few thousand tags per request: plain puts
// rather than printf keeps the writer out of the profile.
void write_opening(FILE *out, const html_tag_t *tag) {
  if (tag->name == nullptr) return;
  fputc('<', out);
  fputs(tag->name, out);
  if (tag->attributes != nullptr) {
    fputc(' ', out);
    fputs(tag->attributes, out);
  }
  fputc('>', out);
}

void write_closing(FILE *out, const char *name) {
  fputs("</", out);
  fputs(name != nullptr ? name : "NULL", out);
  fputs(">\n", out);
}

void write_leaf(FILE *out, const html_tag_t *tag) {
  if (tag->is_text)
    fputs(tag->name != nullptr ? tag->name : "NULL", out);
  else
    write_closing(out, tag->name);
}

// Depth-first writer.  `open` holds the paired elements whose children are
// being written; each is closed when its child chain runs out.
void render_chain(FILE *out, const html_tag_t *tag) {
  std::vector<const html_tag_t *> open;
  const html_tag_t *cur = tag;
  for (;;) {
    while (cur != nullptr) {
      if (cur->is_paired) {
        write_opening(out, cur);
        open.push_back(cur);
        cur = cur->children;
      } else {
        write_leaf(out, cur);
        cur = cur->next;
      }
    }
    if (open.empty()) return;
    const html_tag_t *parent = open.back();
    open.pop_back();
    if (parent->name != nullptr) write_closing(out, parent->name);
    cur = parent->next;
  }
}

void print_chain(const html_tag_t *tag) {
  std::vector<const html_tag_t *> resume;  // siblings to go on with
  const html_tag_t *cur = tag;
  for (;;) {
    while (cur != nullptr) {
      printf("%s ", cur->name != nullptr ? cur->name : "NULL");
      if (cur->children != nullptr) {
        resume.push_back(cur->next);
        cur = cur->children;
      } else {
        cur = cur->next;
      }
    }
    if (resume.empty()) return;
    cur = resume.back();
    resume.pop_back();
  }
}

void write_head(FILE *out) {
  fputs(kDoctype, out);
  fputs(kHeadStart, out);
}

}  // namespace

extern "C" {

void html_init_doc(html_doc_t *doc, int html, uint32_t refresh, const char *redirect,
                   FILE *out) {
  doc->html = static_cast<uint8_t>(html);
  doc->refresh = refresh != 0;
  doc->refresh_time = refresh != 0 ? refresh : doc->refresh_time;
  doc->redirect = redirect != nullptr;
  doc->location = redirect != nullptr ? const_cast<char *>(redirect) : doc->location;
  doc->out = out;
  doc->body = nullptr;
  doc->body_last = nullptr;
}

void html_append_body_tag(html_doc_t *doc, html_tag_t *tag) {
  if (tag == nullptr) return;
  tag->next = nullptr;
  if (doc->body == nullptr) {
    doc->body = tag;
  } else {
    doc->body_last->next = tag;
  }
  doc->body_last = tag;
}

html_tag_t *html_create_tag(char *name, char *attributes, int is_text, int is_paired,
                            int owns_name, int owns_attributes, html_tag_t *next,
                            html_tag_t *children) {
  html_tag_t *tag = new_tag();
  tag->name = name;
  tag->attributes = attributes;
  tag->is_text = static_cast<uint8_t>(is_text);
  tag->is_paired = static_cast<uint8_t>(is_paired);
  tag->owns_name = static_cast<uint8_t>(owns_name);
  tag->owns_attributes = static_cast<uint8_t>(owns_attributes);
  tag->next = next;
  tag->children = children;
  return tag;
}

html_tag_t *html_create_const_text(const char *text) {
  return html_create_tag(const_cast<char *>(text), nullptr, 1, 0, 0, 0, nullptr, nullptr);
}

html_tag_t *html_create_text(const char *text) {
  char *copy = copy_text(text);
  return html_create_tag(copy, nullptr, 1, 0, copy != nullptr, 0, nullptr, nullptr);
}

html_tag_t *html_create_linebreak(void) {
  return html_create_tag(const_cast<char *>("br"), nullptr, 0, 0, 0, 0, nullptr, nullptr);
}

html_tag_t *html_create_header(uint32_t level, const char *text) {
  return html_create_tag(html_alloc_string("h%u", level), nullptr, 0, 1, 1, 0, nullptr,
                         html_create_const_text(text));
}

html_tag_t *html_create_link(const char *target, const char *text) {
  return html_create_tag(const_cast<char *>("a"), html_alloc_string("href=\"%s\"", target),
                         0, 1, 0, 1, nullptr, html_create_const_text(text));
}

char *html_alloc_string(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list measure;
  va_copy(measure, ap);
  int len = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  char *text = len >= 0 ? static_cast<char *>(malloc(static_cast<size_t>(len) + 1)) : nullptr;
  if (text == nullptr) {
    va_end(ap);
    err(1, "alloc_string");
  }
  vsnprintf(text, static_cast<size_t>(len) + 1, format, ap);
  va_end(ap);
  return text;
}

void html_render_tag(html_doc_t *doc, const html_tag_t *tag) {
  if (doc->out == nullptr) return;
  try {
    render_chain(doc->out, tag);
  } catch (...) {
    // Only the worklist can fail (out of memory); the page stays cut short.
  }
}

void html_render(html_doc_t *doc) {
  FILE *out = doc->out;
  if (out == nullptr) return;
  if (doc->redirect) {
    fprintf(out, "Location: %s\n\n", doc->location != nullptr ? doc->location : "");
    return;
  }
  if (!doc->html) {
    fputs("Content-type: text/plain\n\n", out);
    html_render_tag(doc, doc->body);
    return;
  }
  fputs("Content-type: text/html\n\n", out);
  write_head(out);
  if (doc->refresh) fprintf(out, "<meta http-equiv=\"refresh\" content=\"%u\">", doc->refresh_time);
  fputs(kStyle, out);
  fputs("</head><body>\n", out);
  html_render_tag(doc, doc->body);
  fputs("</body></html>\n", out);
}

void html_render_error(html_doc_t *doc, uint32_t status, const char *message) {
  if (!doc->html || doc->out == nullptr) return;
  FILE *out = doc->out;
  fprintf(out, "Content-type: text/html\nStatus: %u\n\n", status);
  write_head(out);
  fputs("</head><body>\n", out);
  fprintf(out, "<h1>%u - %s</h1>\n", status, message != nullptr ? message : "");
  fputs("</body>", out);
}

void html_print_tree(const html_tag_t *tag) {
  try {
    print_chain(tag);
  } catch (...) {
  }
}

// Iterative: a node's children are spliced in front of the pending chain,
// so every node is reached once, whatever the depth or length of the tree.
void html_free_tag(html_tag_t **tag) {
  if (tag == nullptr) return;
  html_tag_t *pending = *tag;
  *tag = nullptr;
  while (pending != nullptr) {
    html_tag_t *node = pending;
    pending = node->next;
    if (node->children != nullptr) {
      html_tag_t *last = node->children;
      while (last->next != nullptr) last = last->next;
      last->next = pending;
      pending = node->children;
    }
    if (node->owns_name) free(node->name);
    if (node->owns_attributes) free(node->attributes);
    free(node);
  }
}

void html_free_doc(html_doc_t *doc) {
  html_free_tag(&doc->body);
  doc->body_last = nullptr;
}

}  // extern "C"
