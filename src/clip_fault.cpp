#include "clip_fault.h"

#ifdef QUILLMAR_FAULTS

namespace {

struct fault_state {
  long calls[CLIP_FAULT_OP_COUNT];
  long fail_from[CLIP_FAULT_OP_COUNT];  // 0: not armed
  long fail_until[CLIP_FAULT_OP_COUNT]; // 0: no end
  bool fired;
};

constinit fault_state g_faults{};

}  // namespace

void clip_fault_arm(clip_fault_op op, long nth, long repeat) {
  long now = g_faults.calls[op];
  g_faults.fail_from[op] = now + nth;
  g_faults.fail_until[op] = repeat > 0 ? now + nth + repeat - 1 : 0;
}

void clip_fault_reset() { g_faults = fault_state{}; }

long clip_fault_calls(clip_fault_op op) { return g_faults.calls[op]; }

bool clip_fault_fired() { return g_faults.fired; }

const char *clip_fault_op_name(clip_fault_op op) {
  static const char *const names[CLIP_FAULT_OP_COUNT] = {
      "alloc", "open", "read", "write", "sync", "close",
      "rename", "unlink", "stat", "mkdir", "opendir"};
  return op < CLIP_FAULT_OP_COUNT ? names[op] : "?";
}

bool clip_fault_hit(clip_fault_op op) {
  long n = ++g_faults.calls[op];
  long from = g_faults.fail_from[op];
  if (from == 0 || n < from) return false;
  long until = g_faults.fail_until[op];
  if (until != 0 && n > until) return false;
  g_faults.fired = true;
  return true;
}

#endif
