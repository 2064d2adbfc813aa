// The histories the benchmarks start from, written straight to disk as the
// library would have written them, so that a run need not build them call by
// call: "clips.json" in its layout (yyjson's pretty one), each clip's
// fingerprint and preview made by the library's rules, and the image files
// beside it. Also the random numbers and the prose the benchmarks make their
// texts from.
#ifndef QUILLMAR_BENCH_HISTORY_H
#define QUILLMAR_BENCH_HISTORY_H

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "quillmar_clip.h"

namespace bench {

// xorshift64 from a fixed start, so that every run makes the same bytes.
inline uint64_t next_random() {
  static uint64_t state = 0x9e3779b97f4a7c15ULL;
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

// Prose of a clipboard, ASCII only so that any cut is between characters:
// about `bytes` bytes of common words, now and then a line break.
inline std::string ascii_corpus(size_t bytes) {
  static const char *const words[] = {
      "the",      "of",     "and",   "to",     "in",      "clipboard", "history",
      "function", "return", "value", "struct", "buffer",  "string",    "meeting",
      "tomorrow", "review", "index", "merge",  "request", "file"};
  std::string out;
  out.reserve(bytes + 16);
  while (out.size() < bytes) {
    uint64_t r = next_random();
    out += words[r % (sizeof words / sizeof words[0])];
    out += (r >> 32) % 9 == 0 ? '\n' : ' ';
  }
  return out;
}

// Ordinary prose of a clipboard: about `bytes` bytes in lines of words, now
// and then a tab, a quote, a path with reverse solidi or a word beyond ASCII.
inline std::string prose_corpus(size_t bytes) {
  static const char *const words[] = {"the",        "of",
                                      "and",        "to",
                                      "in",         "is",
                                      "that",       "for",
                                      "it",         "as",
                                      "was",        "with",
                                      "be",         "by",
                                      "on",         "not",
                                      "he",         "this",
                                      "are",        "or",
                                      "his",        "from",
                                      "at",         "which",
                                      "but",        "have",
                                      "an",         "had",
                                      "they",       "you",
                                      "were",       "their",
                                      "one",        "all",
                                      "we",         "can",
                                      "her",        "has",
                                      "there",      "been",
                                      "if",         "more",
                                      "when",       "will",
                                      "would",      "who",
                                      "so",         "no",
                                      "clipboard",  "history",
                                      "function",   "return",
                                      "value",      "struct",
                                      "const",      "file",
                                      "index",      "buffer",
                                      "string",     "merge",
                                      "request",    "review",
                                      "meeting",    "tomorrow",
                                      "café",       "naïve",
                                      "Grüße",      "日本語",
                                      "—",          "emoji 🙂",
                                      "\"quoted\"", "C:\\Users\\me\\notes.txt",
                                      "\ttabbed",   "https://example.org/a/b?c=d"};
  constexpr size_t kWords = sizeof words / sizeof words[0];
  std::string out;
  out.reserve(bytes + 64);
  size_t line = 0;
  while (out.size() < bytes) {
    uint64_t r = next_random();
    // Common words most of the time, the rarer ones now and then.
    size_t w = (r & 7) != 0 ? (r >> 8) % 48 : (r >> 8) % kWords;
    out += words[w];
    line += strlen(words[w]);
    if (line > 40 + (r >> 40) % 50) {
      out += '\n';
      line = 0;
    } else {
      out += ' ';
      ++line;
    }
  }
  return out;
}

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The largest cut at most n into the len bytes at s that does not split a
// character.
inline size_t cut_back(const char *s, size_t len, size_t n) {
  if (n >= len) return len;
  while (n > 0 && is_continuation(static_cast<unsigned char>(s[n]))) --n;
  return n;
}

// The fingerprint the library gives these bytes: 64-bit FNV-1a as 16
// lowercase hexadecimal digits.
inline std::string fingerprint(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

// The preview the library makes of a text: at most CLIP_PREVIEW_CHARS bytes
// of whole characters, tabs and line breaks as spaces, "..." after a longer
// text's first CLIP_PREVIEW_CHARS - 3 bytes or fewer.
inline std::string text_preview(std::string_view t) {
  constexpr size_t kMax = CLIP_PREVIEW_CHARS;
  size_t n = t.size() > kMax ? cut_back(t.data(), t.size(), kMax - 3) : t.size();
  std::string p(t.substr(0, n));
  for (char &c : p) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  if (t.size() > kMax) p += "...";
  return p;
}

// One clip of a history to be written: views of bytes the caller keeps.
struct Record {
  bool image;
  bool pinned;
  std::string_view text;  // the text, or an image's label (short enough not to
                          // be cut; an empty one is none)
  std::string_view png;   // an image's bytes
};

// Clip k of a written history (ids from 1) is stamped kBaseTime + k - 1.
constexpr int64_t kBaseTime = 1757762400;

// Creates path (mode 0600, as the library's files) holding the len bytes.
inline bool write_file(const std::string &path, const char *data, size_t len) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n <= 0) break;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return close(fd) == 0 && len == 0;
}

// Writes the history of these clips (ids 1 up, next_id after the last) into
// the directory dir: its index and each image clip's file. The index's size
// in bytes, or 0 when it cannot be written.
inline size_t write_history(const std::string &dir, const std::vector<Record> &clips) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", static_cast<int64_t>(clips.size()) + 1);
  yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc, root, "clips");
  bool ok = true;
  for (size_t i = 0; i < clips.size() && ok; ++i) {
    const Record &c = clips[i];
    const int64_t id = static_cast<int64_t>(i) + 1;
    std::string preview = text_preview(c.text);
    std::string_view hashed = c.text;
    if (c.image) {
      preview = "[image " + std::to_string(c.png.size()) + " bytes" +
                (c.text.empty() ? "" : ": " + std::string(c.text)) + "]";
      hashed = c.png;
      ok = write_file(dir + "/img_" + std::to_string(id) + ".png", c.png.data(), c.png.size());
    }
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, arr);
    yyjson_mut_obj_add_int(doc, o, "id", id);
    yyjson_mut_obj_add_int(doc, o, "ts", kBaseTime + id - 1);
    yyjson_mut_obj_add_str(doc, o, "kind", c.image ? "image" : "text");
    yyjson_mut_obj_add_strcpy(doc, o, "preview", preview.c_str());
    yyjson_mut_obj_add_bool(doc, o, "pinned", c.pinned);
    yyjson_mut_obj_add_strcpy(doc, o, "hash", fingerprint(hashed).c_str());
    yyjson_mut_obj_add_bool(doc, o, "truncated", false);
    // The texts are not copied: they outlive the document.
    if (!c.image || !c.text.empty()) {
      yyjson_mut_obj_add_strn(doc, o, c.image ? "label" : "text", c.text.data(), c.text.size());
    }
  }
  size_t len = 0;
  char *json = ok ? yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len) : nullptr;
  yyjson_mut_doc_free(doc);
  if (json == nullptr) return 0;
  ok = write_file(dir + "/clips.json", json, len);
  free(json);
  return ok ? len : 0;
}

}  // namespace bench

#endif  // QUILLMAR_BENCH_HISTORY_H
