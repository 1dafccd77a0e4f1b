// Frame store: any bytes as a capture, loaded and saved again.  For a
// classic host-order capture what is saved must be the part of the input
// that loaded: the global header and the whole records before the first one
// that ended the load.  Other formats save as classic captures of the
// frames that loaded.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "frames.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &out = orvik_fuzz::scratch_path("pcap-out");
  FILE *in = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : fopen("/dev/null", "rb");
  FUZZ_CHECK(in != nullptr);

  ovke_init();
  int rc = ovke_load_file(&in);
  fclose(in);
  FUZZ_CHECK(rc >= 0 && rc <= 4);
  uint32_t magic = 0;
  if (size >= 4) memcpy(&magic, data, sizeof magic);
  bool host_classic = magic == 0xa1b2c3d4 || magic == 0xa1b23c4d;
  if (size < 4 || (host_classic && size < 24)) FUZZ_CHECK(rc == 1);

  // Walk the list the way the frame editor does.
  frame_queue_t *q = ovke_get_frames();
  FUZZ_CHECK(q != nullptr);
  size_t bytes = 24;
  frame_entry_t *head = reinterpret_cast<frame_entry_t *>(q);
  for (frame_entry_t *e = q->first; e != head; e = e->next) {
    // The head is no entry: its first and last stand for the ends' links.
    FUZZ_CHECK(e->next == head ? q->last == e : e->next->prev == e);
    FUZZ_CHECK(e->prev == head ? q->first == e : e->prev->next == e);
    FUZZ_CHECK(e->frame != nullptr && e->frame->header != nullptr);
    FUZZ_CHECK(e->frame->payload_size >= 0);
    FUZZ_CHECK(static_cast<uint32_t>(e->frame->payload_size) == e->frame->header->incl_len);
    bytes += 16 + static_cast<size_t>(e->frame->payload_size);
  }

  FUZZ_CHECK(ovke_save_file(out.c_str()) == 0);
  if (rc != 1 && host_classic) {
    std::string saved = orvik_fuzz::read_bytes(out);
    FUZZ_CHECK(saved.size() == bytes);
    FUZZ_CHECK(saved.size() <= size);
    FUZZ_CHECK(saved.compare(0, saved.size(), reinterpret_cast<const char *>(data), saved.size()) == 0);
  }
  ovke_free();
  return 0;
}
