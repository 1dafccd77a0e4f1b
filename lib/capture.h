// Capture formats the frame store reads: classic PCAP with microsecond or
// nanosecond times in either byte order, and pcapng.  The parsers walk the
// bytes where they lie (a private mapping of the file, or the bytes read
// from a pipe) and hand each frame to the store with a pointer into them;
// nothing is copied but the 16-byte record headers.
//
// Built into the standalone frame-store object: C++ syntax only, no
// exceptions, no library containers (see frames_internal.h).
#ifndef ORVIK_CAPTURE_H
#define ORVIK_CAPTURE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "frames.h"

namespace orvik::frames {

// Load results: ovke_load_file's, which it passes on.
constexpr int kLoaded = OVKE_OK;
constexpr int kNoHeader = OVKE_LOAD_NO_HEADER;  // too short to hold a global header
constexpr int kNoMemory = OVKE_LOAD_NO_MEMORY;
constexpr int kUnknownFormat = OVKE_LOAD_UNKNOWN_FORMAT;     // neither PCAP nor pcapng
constexpr int kMixedLinkTypes = OVKE_LOAD_MIXED_LINK_TYPES;  // pcapng interfaces of different link types

// The global header a pcapng load saves with: nanosecond PCAP, host order.
constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;
// Snapshot length written for interfaces that declare none.
constexpr uint32_t kDefaultSnaplen = 262144;

// A file a load also writes the capture to as it reads it, byte for byte
// at the same offsets (data[0] at 0), up to the first byte it does not
// keep: a save of the frames as loaded is then this file.  Only a classic
// capture in host order read from a file is copied.  failed: a write or
// read failed; complete: the load reached its end and the copy is whole
// up to *used (bytes past it may have been written too).
struct CopyTarget {
  int fd;
  bool failed;
  bool complete;
};

// Parses the capture in data[0, size): sets *global to the global header
// the frames save with (host order), appends every frame through
// append_frame (frames_internal.h) and sets *used to the bytes consumed.
// Frames appended before a failure stay; *global is set whenever a global
// header was read (kLoaded and kNoMemory among the results).
// When fd is not -1, data maps the file fd from offset base on, and the
// headers are read from the file rather than through the mapping.  copy:
// see CopyTarget; null copies nothing.  fill: data is memory of the
// store's own for the file's bytes (fd not -1), filled as the walk goes up
// to *used, instead of a mapping.
int parse_capture(const uint8_t *data, size_t size, int fd, off_t base, pcap_hdr_t *global,
                  size_t *used, CopyTarget *copy, bool fill);

// Nanoseconds of a pcapng timestamp of `units` in the resolution byte of
// if_tsresol (bit 7 clear: 10^-n seconds; set: 2^-n seconds).
uint64_t pcapng_nanoseconds(uint64_t units, uint8_t tsresol);

}  // namespace orvik::frames

#endif
