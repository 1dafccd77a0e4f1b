// Peer of framekit's own capture reader: loads a capture through libpcap
// (pcap_fopen_offline_with_tstamp_precision, nanosecond times) into memory
// the way a frame store built on it would have to (libpcap reuses its
// buffer, so every frame is copied out), then exits.
//
// Usage: pcap_peer_load FILE
#include <pcap/pcap.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pcap_peer_load FILE\n");
    return 2;
  }
  FILE *f = fopen(argv[1], "rb");
  if (f == nullptr) {
    perror(argv[1]);
    return 1;
  }
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t *p = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (p == nullptr) {
    fprintf(stderr, "pcap_peer_load: %s\n", errbuf);
    return 1;
  }
  std::vector<unsigned char *> frames;
  struct pcap_pkthdr *h;
  const u_char *data;
  while (pcap_next_ex(p, &h, &data) == 1) {
    auto *copy = static_cast<unsigned char *>(malloc(16 + h->caplen));
    if (copy == nullptr) return 1;
    memcpy(copy, h, 16);
    memcpy(copy + 16, data, h->caplen);
    frames.push_back(copy);
  }
  pcap_close(p);  // closes f
  fprintf(stderr, "pcap_peer_load: %zu frames\n", frames.size());
  for (unsigned char *c : frames) free(c);
  return 0;
}
