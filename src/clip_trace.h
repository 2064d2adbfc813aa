// Recording seam: lets the test build see, in order, every call of the seam
// that changes what is on disk, so that a test can work out what a power cut
// at any moment would leave. Each such call is reported to the sink a test
// has set once it has succeeded, with its descriptor, paths and bytes; and a
// sync can be left out on the sink's word, as if the library had never asked
// for it, so that a test can show what breaks without it. In the shipped
// library CLIP_TRACE() is nothing and CLIP_TRACE_OMITS() the constant false.
// Only the POSIX half of the seam reports.
#ifndef QUILLMAR_CLIP_TRACE_H
#define QUILLMAR_CLIP_TRACE_H

#include <stddef.h>

enum clip_trace_op {
  CLIP_TRACE_CREATE,    // path made fresh, open for writing as fd
  CLIP_TRACE_WRITE,     // len bytes of data written to fd at its position
  CLIP_TRACE_FSYNC,     // fd forced to the disk
  CLIP_TRACE_CLOSE,     // fd closed
  CLIP_TRACE_RENAME,    // path renamed onto path2 (the no-replace rename too)
  CLIP_TRACE_UNLINK,    // path removed
  CLIP_TRACE_SYNC_DIR,  // the renames, creations and removals in the directory path made
                        // durable
  CLIP_TRACE_MKDIR,     // the directory path made
};

// One call; the members an operation does not use keep their defaults.
struct clip_trace_event {
  clip_trace_op op = CLIP_TRACE_CREATE;
  int fd = -1;
  const char *path = nullptr;
  const char *path2 = nullptr;
  const void *data = nullptr;
  size_t len = 0;
};

#ifdef QUILLMAR_FAULTS

// Where the events go. Neither function may call into the library.
struct clip_trace_sink {
  // A call that succeeded, in the order the calls were made.
  void (*record)(void *ctx, const clip_trace_event *e);
  // Asked before a sync (CLIP_TRACE_FSYNC, CLIP_TRACE_SYNC_DIR): true leaves
  // it out, and the seam answers as if it had been done. May be null.
  bool (*omit)(void *ctx, const clip_trace_event *e);
  void *ctx;
};

// Sends the events to sink from now on (copied); null stops the recording.
void clip_trace_set(const clip_trace_sink *sink);
// Hands e to the sink, if there is one; errno is left as it was.
void clip_trace_record(const clip_trace_event &e);
// Whether the sink leaves the sync e out; errno is left as it was.
bool clip_trace_omits(const clip_trace_event &e);

#define CLIP_TRACE(...) clip_trace_record(clip_trace_event{__VA_ARGS__})
#define CLIP_TRACE_OMITS(...) clip_trace_omits(clip_trace_event{__VA_ARGS__})

#else

#define CLIP_TRACE(...) static_cast<void>(0)
#define CLIP_TRACE_OMITS(...) false

#endif

#endif  // QUILLMAR_CLIP_TRACE_H
