// quillmar-clip ocr: the words of image clips, read on demand, for images
// recorded before reading was on (or while it was off).
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_commands.h"
#include "cli_config.h"
#include "cli_ocr.h"
#include "cli_store.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

// The id of a push's result; *dedup says it names a clip that was there.
int id_of(const char *result, bool *dedup = nullptr) {
  Doc doc(yyjson_read(result, strlen(result), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *v = yyjson_obj_get(root, "id");
  if (dedup != nullptr) *dedup = yyjson_get_int(yyjson_obj_get(root, "dedup")) == 1;
  return yyjson_is_int(v) ? static_cast<int>(yyjson_get_int(v)) : 0;
}

// Records image clip old (bytes, pinned or not) again with words as its
// label, as the newest clip, and deletes the old one once the new one is
// recorded (and pinned, when the old one was). The history must have room
// for one more unpinned clip, so that nothing is evicted: the caller checks.
// Returns the new id, or 0 with *why when the old clip is left as it was.
int relabel(int old, const std::string &bytes, bool pinned, const std::string &words,
            std::string *why) {
  ClipString got(
      clip_push_image(reinterpret_cast<const unsigned char *>(bytes.data()),
                      static_cast<int>(bytes.size()), words.c_str()));
  if (!got) {
    *why = library_error();
    return 0;
  }
  bool dedup = false;
  int id = id_of(got.get(), &dedup);
  if (dedup && id != old) {
    *why = "the newest clip, " + std::to_string(id) + ", holds the same image";
    return 0;
  }
  if (dedup) {
    // The newest clip holds these bytes already, so the push changed
    // nothing: the old clip goes first, then the same bytes come back with
    // the label. Should that fail, they come back as they were.
    if (!clip_delete(old)) {
      *why = library_error();
      return 0;
    }
    got.reset(clip_push_image(reinterpret_cast<const unsigned char *>(bytes.data()),
                              static_cast<int>(bytes.size()), words.c_str()));
    if (!got) {
      *why = library_error();
      got.reset(clip_push_image(reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()), nullptr));
      if (!got) {
        *why += "; the image could not be recorded again either: " + library_error();
        return 0;
      }
      *why += "; it is recorded again without words as clip " +
              std::to_string(id_of(got.get()));
      if (pinned) clip_pin(id_of(got.get()), 1);
      return 0;
    }
    id = id_of(got.get());
    if (pinned && !clip_pin(id, 1)) *why = "it could not be pinned again: " + library_error();
    return id;
  }
  if (pinned) {
    // Unpinned first, so that a history with 200 pinned clips has room for
    // the copy's pin; pinned again when the copy's pin fails.
    if (!clip_pin(old, 0) || !clip_pin(id, 1)) {
      *why = library_error();
      clip_pin(old, 1);
      clip_delete(id);
      return 0;
    }
  }
  if (!clip_delete(old)) {
    *why = "the copy is clip " + std::to_string(id) +
           ", but the old clip could not be deleted: " + library_error();
    return id;
  }
  return id;
}

}  // namespace

int cmd_ocr(const std::string &store, const Config &config, int id, bool all,
            bool relabel_them) {
  std::string unavailable = ocr_unavailable(config.languages());
  if (!unavailable.empty()) {
    complain("images cannot be read for words: " + unavailable);
    return 1;
  }
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  OcrReader reader(config.languages());
  int deadline = ocr_deadline_ms();
  if (!all) {
    ClipContent c;
    if (!fetch_clip(id, true, &c)) return 1;
    if (!c.image) {
      complain("clip " + std::to_string(id) + " is a text, not an image");
      return 1;
    }
    std::string words, why;
    if (!reader.read(c.bytes, deadline, &words, &why)) {
      complain("clip " + std::to_string(id) + " could not be read: " + why);
      return 1;
    }
    if (words.empty()) {
      complain("no words found in clip " + std::to_string(id));
      return 0;
    }
    printf("%s\n", words.c_str());
    return fflush(stdout) == 0 ? 0 : 1;
  }
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return 1;
  size_t unpinned = 0;
  for (const ClipSummary &c : clips) unpinned += c.pinned ? 0 : 1;
  int failed = 0, relabelled = 0;
  // Oldest first: relabelled clips then keep their order at the top.
  for (auto it = clips.rbegin(); it != clips.rend(); ++it) {
    if (!it->image) continue;
    ClipContent c;
    if (!fetch_clip(it->id, true, &c)) {
      ++failed;
      continue;
    }
    if (c.has_label && !c.label.empty()) continue;
    std::string words, why;
    if (!reader.read(c.bytes, deadline, &words, &why)) {
      printf("clip %d: not read: %s\n", it->id, why.c_str());
      ++failed;
      continue;
    }
    if (words.empty()) {
      printf("clip %d: no words\n", it->id);
      continue;
    }
    if (!relabel_them) {
      printf("clip %d: %s\n", it->id, words.c_str());
      continue;
    }
    if (unpinned >= CLIP_MAX_UNPINNED) {
      printf("clip %d: not relabelled: the history is full (%d unpinned clips), and its "
             "copy would evict the oldest clip\n",
             it->id, CLIP_MAX_UNPINNED);
      ++failed;
      continue;
    }
    int now = relabel(it->id, c.bytes, it->pinned, words, &why);
    if (now == 0) {
      printf("clip %d: not relabelled: %s\n", it->id, why.c_str());
      ++failed;
      continue;
    }
    ++relabelled;
    printf("clip %d is now clip %d: %s%s%s\n", it->id, now, words.c_str(),
           why.empty() ? "" : " (", why.empty() ? "" : (why + ")").c_str());
  }
  if (relabel_them && relabelled > 0) {
    printf("%d image%s relabelled: their ids changed, and they are now the newest clips\n",
           relabelled, relabelled == 1 ? "" : "s");
  }
  if (fflush(stdout) != 0) return 1;
  return failed == 0 ? 0 : 1;
}

}  // namespace host
