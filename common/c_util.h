// Small owners and checked allocations for C resources, shared by the
// library, the stand-ins and the programs.  Header only; nothing here is
// exported from any shared library.
#ifndef ORVIK_C_UTIL_H
#define ORVIK_C_UTIL_H

#include <err.h>
#include <stdio.h>
#include <string.h>

#include <memory>

namespace orvik {

// Closes the stream when the owner goes; an empty owner closes nothing.
struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A text copy that cannot be made ends the program rather than leave a
// half-filled record behind.  text must not be NULL.
inline char *xstrdup(const char *text) {
  char *copy = strdup(text);
  if (copy == nullptr) errx(1, "out of memory copying a text");
  return copy;
}

}  // namespace orvik

#endif
