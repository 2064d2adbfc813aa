#include "clip_json.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "clip_sys.h"

#ifdef QUILLMAR_FAULTS

namespace {

void *alc_malloc(void *, size_t size) { return clip_malloc(size); }
void *alc_realloc(void *, void *ptr, size_t, size_t size) { return clip_realloc(ptr, size); }
void alc_free(void *, void *ptr) { free(ptr); }

constinit const yyjson_alc g_fault_alc = {alc_malloc, alc_realloc, alc_free, nullptr};

}  // namespace

const yyjson_alc *clip_json_alc() { return &g_fault_alc; }

#else

const yyjson_alc *clip_json_alc() { return nullptr; }

#endif

char *clip_json_result(yyjson_mut_doc *doc) {
  const yyjson_alc *alc = clip_json_alc();
  size_t len = 0;
  char *json = yyjson_mut_write_opts(doc, 0, alc, &len, nullptr);
  if (json == nullptr) return nullptr;
  char *out = clip_strndup(json, len);
  if (alc != nullptr) {
    alc->free(alc->ctx, json);
  } else {
    free(json);
  }
  return out;
}

char *clip_json_printf(const char *fmt, ...) {
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

char *clip_json_quote(const char *s) {
  const clip_json_escapes &esc = kJsonEscapesLower;
  size_t n = 2;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    n += clip_json_escapes::needed(*p) ? esc.len[*p] : 1;
  }
  char *out = static_cast<char *>(clip_malloc(n + 1));
  if (out == nullptr) return nullptr;
  char *o = out;
  *o++ = '"';
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    if (clip_json_escapes::needed(*p)) {
      memcpy(o, esc.text[*p], esc.len[*p]);
      o += esc.len[*p];
    } else {
      *o++ = static_cast<char>(*p);
    }
  }
  *o++ = '"';
  *o = '\0';
  return out;
}

yyjson_mut_val *clip_json_summary(yyjson_mut_doc *doc, int id, int64_t ts, bool image,
                                  const char *preview, bool pinned) {
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  bool ok = obj != nullptr && yyjson_mut_obj_add_int(doc, obj, "id", id) &&
            yyjson_mut_obj_add_int(doc, obj, "ts", ts) &&
            yyjson_mut_obj_add_str(doc, obj, "kind", image ? "image" : "text") &&
            yyjson_mut_obj_add_str(doc, obj, "preview", preview != nullptr ? preview : "") &&
            yyjson_mut_obj_add_bool(doc, obj, "pinned", pinned);
  return ok ? obj : nullptr;
}
