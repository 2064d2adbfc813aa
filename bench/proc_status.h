// Memory figures of the running process, from /proc/self/status.
#ifndef QUILLMAR_BENCH_PROC_STATUS_H
#define QUILLMAR_BENCH_PROC_STATUS_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The value in KiB of a field such as "VmRSS:" or "VmHWM:", or -1.
inline long proc_status_kib(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, field, n) == 0) kib = strtol(line + n, nullptr, 10);
  }
  fclose(f);
  return kib;
}

#endif  // QUILLMAR_BENCH_PROC_STATUS_H
