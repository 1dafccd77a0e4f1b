// Machine-readable forms of the card's state, shared by ovkshow and
// orvik.cgi: one JSON document (the same schema for both programs) and the
// Prometheus text exposition format 0.0.4.  Both are built from the value
// list of the register library exactly as the console report reads it.
#ifndef ORVIK_TOOLS_STATUS_FORMAT_H
#define ORVIK_TOOLS_STATUS_FORMAT_H

#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "stat.h"

namespace orvik_status {

// The text the console report shows for a value entry that is not a
// heading: "MAX", "N/A", "ON"/"OFF", "0x2A", a bit string, a time, or the
// decimal number.
std::string value_text(const value_t &v);

// False exactly where the console report shows "N/A".
bool value_valid(const value_t &v);

// The design description's keywords ("HEX", "RO", ...); "UNKNOWN" or
// "NONE" for codes without one.
const char *format_keyword(uint32_t format);
const char *access_keyword(uint32_t access);

// Names of the sections in section order (number = index + 1), taken from
// ovkc_get_namelist and released.
std::vector<std::string> section_names();

// The board identification a document shows: the library's from its
// initialisation, or one read afresh by a program that keeps the
// description loaded between requests.  A text is nullptr when unset.
struct Identity {
  uint32_t fw_version = 0;
  const char *board = nullptr, *board_subtype = nullptr;
  const char *if0_card = nullptr, *if0_chip = nullptr;
  const char *if1_card = nullptr, *if1_chip = nullptr;
};
Identity library_identity();

// One value list with the section number of each entry, as the library
// tells them (ovkc_get_datalist and ovkc_get_datalist_sections).
struct ValueView {
  const value_list_t *list = nullptr;
  const int32_t *sections = nullptr;
  const std::vector<std::string> *names = nullptr;
  Identity identity = library_identity();
};
ValueView current_values(const std::vector<std::string> &names);

// Change per second of the counting items (DEC, HEX and HIST) between two
// rounds of a repeated report.  Items are matched by name.
class Rates {
 public:
  // Takes the values of a new round; the rates then compare it with the
  // round before (none in the first round).
  void update(const value_list_t *list);
  // False when the entry has no rate: not a counting item, not valid in
  // both rounds, or the first round.
  bool rate(const value_t &v, double *per_second) const;

 private:
  using Clock = std::chrono::steady_clock;
  std::unordered_map<std::string, uint64_t> previous_, current_;
  Clock::time_point previous_time_{}, current_time_{};
  bool have_previous_ = false, have_current_ = false;
};

// Writers of whole documents to out.  JSON documents are one line each,
// ending in a newline.
void write_json_identification(FILE *out, const Identity &id = library_identity());
// The sections without their items (the list of sections).
void write_json_sections(FILE *out, const std::vector<std::string> &names,
                         const Identity &id = library_identity());
// Names and labels only (the list of item names).
void write_json_names(FILE *out, const ValueView &view);
// The values; rates may be nullptr.
void write_json_values(FILE *out, const ValueView &view, const Rates *rates);
// The error answer of the CGI.
void write_json_error(FILE *out, unsigned status, const char *message);

// The identification as an info metric and every valid item as a sample.
void write_prometheus(FILE *out, const ValueView &view);
// The error answer of the CGI: one comment line.
void write_prometheus_error(FILE *out, const char *message);

// The text with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string valid_utf8(std::string_view text);

}  // namespace orvik_status

#endif
