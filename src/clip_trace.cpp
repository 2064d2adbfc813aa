#include "clip_trace.h"

#ifdef QUILLMAR_FAULTS

#include <errno.h>

namespace {

constinit clip_trace_sink g_sink{};
constinit bool g_recording = false;

}  // namespace

void clip_trace_set(const clip_trace_sink *sink) {
  g_recording = sink != nullptr;
  g_sink = sink != nullptr ? *sink : clip_trace_sink{};
}

void clip_trace_record(const clip_trace_event &e) {
  if (!g_recording || g_sink.record == nullptr) return;
  // The calls around the seam read errno after a failure only, but a sink
  // that allocates must not leave them a stale one all the same.
  int saved = errno;
  g_sink.record(g_sink.ctx, &e);
  errno = saved;
}

bool clip_trace_omits(const clip_trace_event &e) {
  if (!g_recording || g_sink.omit == nullptr) return false;
  int saved = errno;
  bool omit = g_sink.omit(g_sink.ctx, &e);
  errno = saved;
  return omit;
}

#endif
