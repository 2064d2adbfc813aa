// Fault seam: lets the test build make the Nth allocation or file operation
// of a kind fail. In the shipped library CLIP_FAULT() is the constant false
// and every wrapper in clip_sys.h is a plain call.
#ifndef QUILLMAR_CLIP_FAULT_H
#define QUILLMAR_CLIP_FAULT_H

enum clip_fault_op {
  CLIP_FAULT_ALLOC,   // malloc, calloc, realloc (ours and yyjson's)
  CLIP_FAULT_OPEN,    // open of a file for reading, creation of one for writing
  CLIP_FAULT_READ,    // read
  CLIP_FAULT_WRITE,   // write
  CLIP_FAULT_SYNC,    // fsync of a file or a directory
  CLIP_FAULT_CLOSE,   // close
  CLIP_FAULT_RENAME,  // rename
  CLIP_FAULT_UNLINK,  // unlink
  CLIP_FAULT_STAT,    // stat, lstat or fstat
  CLIP_FAULT_MKDIR,   // mkdir of the store directory
  CLIP_FAULT_OPENDIR, // opendir
  CLIP_FAULT_OP_COUNT
};

#ifdef QUILLMAR_FAULTS

// The nth call of `op` from now on (1 = the next one) fails, and so do the
// `repeat` - 1 calls after it; repeat 0 means every call from the nth on.
void clip_fault_arm(clip_fault_op op, long nth, long repeat = 1);
// Disarms every fault and zeroes every call counter.
void clip_fault_reset();
// Calls of `op` since the last reset.
long clip_fault_calls(clip_fault_op op);
// Whether an armed fault has made a call fail since the last reset.
bool clip_fault_fired();
const char *clip_fault_op_name(clip_fault_op op);
// Counts the call and says whether it must fail.
bool clip_fault_hit(clip_fault_op op);

#define CLIP_FAULT(op) clip_fault_hit(op)

#else

#define CLIP_FAULT(op) false

#endif

#endif  // QUILLMAR_CLIP_FAULT_H
