#include "clip_error.h"

#include <stdarg.h>
#include <stdio.h>

#include "clip_sys.h"

namespace {

constinit char g_err[CLIP_ERR_CAP] = {};

}  // namespace

extern "C" void clip_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_err, sizeof g_err, fmt, ap);
  va_end(ap);
}

extern "C" void clip_clear_error(void) { g_err[0] = '\0'; }

const char *clip_error_message() { return g_err; }

char *dup_printf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) return nullptr;
  char *out = static_cast<char *>(clip_malloc(static_cast<size_t>(n) + 1));
  if (out == nullptr) return nullptr;
  va_start(ap, fmt);
  vsnprintf(out, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  return out;
}
