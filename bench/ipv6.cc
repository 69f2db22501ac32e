// IPv6 text in and out for the benchmark's tools. Reading goes through
// inet_pton, as tenvik's does; writing is done here, because inet_ntop
// writes dotted tails and tenvik never does.

#include <arpa/inet.h>
#include <string.h>

#include "bench_tool.h"

std::string ipv6_text(address6 a) {
  unsigned group[8];
  for (int i = 0; i < 8; i++) group[i] = unsigned(a >> (112 - 16 * i)) & 0xffff;
  int best = -1, best_length = 1;  // a lone zero group stays "0"
  for (int i = 0; i < 8;) {
    if (group[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && group[j] == 0) j++;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j;
  }
  std::string text;
  char hex[8];
  for (int i = 0; i < 8; i++) {
    if (i == best) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (i > 0 && i != best + best_length) text += ':';
    snprintf(hex, sizeof hex, "%x", group[i]);
    text += hex;
  }
  return text;
}

bool read_ipv6(const char*& p, address6* a) {
  size_t n = strspn(p, "0123456789abcdefABCDEF:.");
  char text[64];
  if (n == 0 || n >= sizeof text) return false;
  memcpy(text, p, n);
  text[n] = '\0';
  unsigned char bytes[16];
  if (inet_pton(AF_INET6, text, bytes) != 1) return false;
  address6 value = 0;
  for (unsigned char byte : bytes) value = value << 8 | byte;
  *a = value;
  p += n;
  return true;
}
