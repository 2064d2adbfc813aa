// Fuzz target: arbitrary bytes as a set-aside index for recover's scanner.
// It must never crash; every clip it finds must hold together (a text that
// matches its fingerprint, without NUL, no longer than a clip may be), the
// stretches it reports must lie in the file in order, and every clip it
// finds, written back in the library's layout, must be found again as it
// was.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <yyjson.h>

#include <string>
#include <string_view>

#include "cli_salvage.h"
#include "quillmar_clip.h"

#define FUZZ_CHECK(cond, ...)                                                  \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                            \
      fprintf(stderr, "\n");                                                   \
      abort();                                                                 \
    }                                                                          \
  } while (0)

namespace {

// The clips as the library would write them: yyjson's pretty layout.
std::string index_of(const host::Salvage &s) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", 1);
  yyjson_mut_val *clips = yyjson_mut_obj_add_arr(doc, root, "clips");
  for (auto &c : s.clips) {
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, clips);
    yyjson_mut_obj_add_int(doc, o, "id", c.id);
    yyjson_mut_obj_add_int(doc, o, "ts", 0);
    yyjson_mut_obj_add_str(doc, o, "kind", c.image ? "image" : "text");
    yyjson_mut_obj_add_strncpy(doc, o, "preview", c.preview.data(), c.preview.size());
    yyjson_mut_obj_add_bool(doc, o, "pinned", c.pinned);
    yyjson_mut_obj_add_strncpy(doc, o, "hash", c.hash.data(), c.hash.size());
    yyjson_mut_obj_add_bool(doc, o, "truncated", false);
    if (!c.image) {
      yyjson_mut_obj_add_strncpy(doc, o, "text", c.text.data(), c.text.size());
    } else if (c.has_label) {
      yyjson_mut_obj_add_strncpy(doc, o, "label", c.label.data(), c.label.size());
    }
  }
  size_t len = 0;
  char *json = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len);
  FUZZ_CHECK(json != nullptr, "the clips found cannot be written back");
  std::string out(json, len);
  free(json);
  yyjson_mut_doc_free(doc);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  host::Salvage s = host::salvage_index(input);
  FUZZ_CHECK(s.clips.size() <= s.records, "%zu clips of %zu records", s.clips.size(),
             s.records);
  size_t last = 0;
  for (auto &c : s.clips) {
    FUZZ_CHECK(c.record >= 1 && c.record <= s.records && c.record > last,
               "record %zu after %zu", c.record, last);
    last = c.record;
    FUZZ_CHECK(c.offset < size && input[c.offset] == '{', "a record at byte %zu", c.offset);
    if (!c.image) {
      FUZZ_CHECK(c.hash.empty() || host::fingerprint(c.text) == c.hash,
                 "record %zu: a text that does not match its fingerprint", c.record);
      FUZZ_CHECK(c.text.find('\0') == std::string::npos, "record %zu: a NUL", c.record);
      FUZZ_CHECK(c.text.size() <= CLIP_TEXT_CAP, "record %zu: too long", c.record);
    }
  }
  size_t from = 0;
  for (auto &l : s.lost) {
    FUZZ_CHECK(l.offset >= from && l.offset <= l.end && l.end <= size,
               "a stretch from %zu to %zu after %zu", l.offset, l.end, from);
    FUZZ_CHECK(!l.why.empty(), "a stretch lost without a reason");
    from = l.offset;
  }
  FUZZ_CHECK(s.cut_at <= size, "cut at %zu of %zu", s.cut_at, size);

  // What was found, written back whole, is found again as it was.
  host::Salvage again = host::salvage_index(index_of(s));
  FUZZ_CHECK(again.clips.size() == s.clips.size() && again.lost.empty() && !again.cut_short,
             "%zu of %zu clips found again, %zu stretches lost", again.clips.size(),
             s.clips.size(), again.lost.size());
  for (size_t k = 0; k < s.clips.size(); ++k) {
    const host::SalvagedClip &a = s.clips[k], &b = again.clips[k];
    FUZZ_CHECK(a.id == b.id && a.image == b.image && a.pinned == b.pinned &&
                   a.hash == b.hash && a.text == b.text && a.has_label == b.has_label &&
                   a.label == b.label && a.preview == b.preview,
               "clip %zu differs once written back", k + 1);
  }
  return 0;
}
