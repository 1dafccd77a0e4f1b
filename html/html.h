/* HTML page builder: a tree of tags rendered with its CGI header lines,
 * the presentation of register values as HTML, and bit strings.
 * Linked into both status programs. */
#ifndef ORVIK_HTML_H
#define ORVIK_HTML_H

#include <stdint.h>
#include <stdio.h>

#include "parser.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct html_tag {
  struct html_tag *next;     /* next sibling */
  struct html_tag *children; /* first child */
  char *name;                /* element name, or the raw text of a text node */
  char *attributes;          /* written after the name in the opening tag */
  uint8_t is_text;
  uint8_t is_paired;
  uint8_t owns_name;
  uint8_t owns_attributes;
} html_tag_t;

typedef struct html_doc {
  uint8_t refresh;
  uint32_t refresh_time;
  uint8_t html;
  uint8_t redirect;
  char *location;  /* not owned */
  FILE *out;       /* not owned */
  html_tag_t *body;
  html_tag_t *body_last;
} html_doc_t;

void html_init_doc(html_doc_t *doc, int html, uint32_t refresh, const char *redirect,
                   FILE *out);
/* tag must be a single node without siblings; the document owns it. */
void html_append_body_tag(html_doc_t *doc, html_tag_t *tag);
html_tag_t *html_create_tag(char *name, char *attributes, int is_text, int is_paired,
                            int owns_name, int owns_attributes, html_tag_t *next,
                            html_tag_t *children);
/* Refers to text, which must outlive the node. */
html_tag_t *html_create_const_text(const char *text);
/* Holds its own copy of text. */
html_tag_t *html_create_text(const char *text);
html_tag_t *html_create_linebreak(void);
/* <h%u> around text (not copied). */
html_tag_t *html_create_header(uint32_t level, const char *text);
/* <a href="target"> around text (not copied). */
html_tag_t *html_create_link(const char *target, const char *text);
/* malloc()ed formatted text; ends the process with err(1, "alloc_string")
 * when memory runs out. */
char *html_alloc_string(const char *format, ...) __attribute__((format(printf, 1, 2)));

void html_render(html_doc_t *doc);
void html_render_tag(html_doc_t *doc, const html_tag_t *tag);
/* Error page with a Status line; writes nothing unless doc->html is 1. */
void html_render_error(html_doc_t *doc, uint32_t status, const char *message);
void html_print_tree(const html_tag_t *tag);
/* Frees *tag, its subtree and its following siblings; sets *tag NULL. */
void html_free_tag(html_tag_t **tag);
/* Frees the body; the other fields stay. */
void html_free_doc(html_doc_t *doc);

/* malloc()ed HTML text of one value; NULL for FORMAT_CONFIG. */
char *html_create_text_from_value(const value_t *value);
/* Table of a value list with its own copies of every text; NULL for an
 * empty list. */
html_tag_t *html_create_table_from_list(const value_list_t *list);

/* *out = malloc()ed "0b..." base-2 text of value. */
void printbits(char **out, uint64_t value);

#ifdef __cplusplus
}
#endif

#endif
