#include "cli_search.h"

#include <yyjson.h>

#include <algorithm>
#include <cstring>

#include "cli_commands.h"
#include "cli_match.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

// An image clip's label, "" when it has none or it cannot be had.
std::string label_of(int id) {
  ClipString got(clip_get(id));
  if (!got) return "";
  Doc doc(yyjson_read(got.get(), strlen(got.get()), 0));
  yyjson_val *label =
      yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "label");
  return yyjson_is_str(label) ? std::string(yyjson_get_str(label), yyjson_get_len(label))
                              : std::string();
}

}  // namespace

bool search_clips(const std::string &query, int limit, std::vector<ClipSummary> *hits) {
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return false;
  CaseFolder folder;
  std::vector<std::string> words = split_words(query), folded_words(words.size());
  for (size_t i = 0; i < words.size(); ++i) folder.fold(words[i], &folded_words[i]);
  std::string folded;
  for (auto &c : clips) {
    bool matched = true;
    if (!words.empty()) {
      std::string label;
      ClipString text;
      std::string_view haystack;
      if (c.image) {
        label = label_of(c.id);
        haystack = label;
      } else {
        text.reset(clip_get(c.id));
        if (!text) continue;
        haystack = text.get();
      }
      folder.fold(haystack, &folded);
      c.score = score_words(haystack, folded, words, folded_words, &matched);
    }
    if (matched) hits->push_back(std::move(c));
  }
  // The listing is newest first, so a stable sort keeps ties newest first.
  std::stable_sort(
      hits->begin(), hits->end(),
      [](const ClipSummary &a, const ClipSummary &b) { return a.score > b.score; });
  if (limit > 0 && hits->size() > static_cast<size_t>(limit))
    hits->resize(static_cast<size_t>(limit));
  return true;
}

int cmd_search(const std::string &store, const std::string &query, int limit, bool json) {
  std::vector<ClipSummary> hits;
  {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!search_clips(query, limit > 0 ? limit : CLIP_DEFAULT_LIMIT, &hits)) return 1;
  }
  return print_listing(hits, json, true, "no matches");
}

}  // namespace host
