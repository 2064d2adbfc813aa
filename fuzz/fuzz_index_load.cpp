// Fuzz target: arbitrary bytes as "clips.json". The load must succeed (a
// damaged index is set aside whole, byte for byte, and an empty history
// started); whatever loaded must list, search and fetch, and must come back
// unchanged from a save and a second load.
#include <stddef.h>
#include <stdint.h>

#include <fstream>

#include "clip_fault.h"
#include "clip_store.h"
#include "fuzz_support.h"
#include "quillmar_clip.h"

namespace {

std::string take(char *s) {
  FUZZ_CHECK(s != nullptr, "null result: %s", clip_last_error());
  std::string out(s);
  clip_free_string(s);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &dir = fuzz::store_dir();
  const std::string index = dir + "/clips.json";
  clip_fault_reset();
  fuzz::empty_store();
  std::string input(reinterpret_cast<const char *>(data), size);
  std::ofstream(index, std::ios::binary) << input;

  FUZZ_CHECK(clip_init(dir.c_str()) == 1, "clip_init: %s", clip_last_error());
  FUZZ_CHECK(clip_last_error()[0] == '\0', "message after success: %s", clip_last_error());
  int aside = fuzz::count_files("clips.json.corrupt.");
  FUZZ_CHECK(aside <= 1, "%d indexes set aside", aside);
  if (aside == 1) {
    // The damaged bytes are kept, and the store starts empty at id 1.
    DIR *d = opendir(dir.c_str());
    std::string kept;
    while (struct dirent *e = readdir(d)) {
      if (strncmp(e->d_name, "clips.json.corrupt.", 19) == 0) kept = model::slurp(dir + "/" + e->d_name);
    }
    closedir(d);
    FUZZ_CHECK(kept == input, "the set-aside index differs from the damaged one");
    FUZZ_CHECK(g_store.count == 0 && g_store.next_id == 1, "not empty after recovery");
  } else if (size > 0) {
    FUZZ_CHECK(model::slurp(index) == input, "a loaded index was rewritten");
  }

  // Everything loaded can be listed, searched and fetched.
  int count = g_store.count;
  std::string all = take(clip_list(0, count + 1));
  size_t listed = 0;
  for (size_t p = all.find("{\"id\":"); p != std::string::npos; p = all.find("{\"id\":", p + 1)) ++listed;
  FUZZ_CHECK(listed == static_cast<size_t>(count), "listed %zu of %d", listed, count);
  take(clip_list(count / 2, 3));
  take(clip_search("", 0));
  take(clip_search("e", count + 1));
  for (int i = 0; i < count; ++i) {
    const clip_entry &e = g_store.entries[i];
    std::string got = take(clip_get(e.id));
    if (clip_list_find_index(&g_store, e.id) == i && e.kind == CLIP_KIND_TEXT) {
      FUZZ_CHECK(got == std::string(e.text, e.text_len), "clip_get of text clip %d", e.id);
    }
  }

  // Saved and loaded again, the history is the same.
  model::History loaded = model::from_store(g_store);
  FUZZ_CHECK(clip_store_save(&g_store), "save: %s", clip_last_error());
  FUZZ_CHECK(clip_init(dir.c_str()) == 1, "reload: %s", clip_last_error());
  FUZZ_CHECK(fuzz::count_files("clips.json.corrupt.") == aside, "a saved index was set aside");
  std::string d = model::diff(loaded, model::from_store(g_store), true);
  FUZZ_CHECK(d.empty(), "reloaded: %s", d.c_str());

  // And it takes a new clip with a fresh id, unless the ids have run out.
  model::Outcome r = model::answer_of(clip_push_text("a new clip"));
  if (loaded.next_id == INT32_MAX) {
    FUZZ_CHECK(!r.ok || r.dedup, "capture past the last id");
  } else {
    FUZZ_CHECK(r.ok, "capture: %s", clip_last_error());
    FUZZ_CHECK(r.dedup || r.id == loaded.next_id, "new id %d, next id %d", r.id,
               loaded.next_id);
  }
  return 0;
}
