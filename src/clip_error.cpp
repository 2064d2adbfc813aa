#include "clip_error.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

constinit char g_err[CLIP_ERR_CAP] = {};

}  // namespace

void clip_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_err, sizeof g_err, fmt, ap);
  va_end(ap);
}

void clip_clear_error() { g_err[0] = '\0'; }

const char *clip_error_message() { return g_err; }
