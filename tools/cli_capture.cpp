#include "cli_capture.h"

#include <sys/stat.h>
#include <time.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli_config.h"
#include "cli_layout.h"
#include "cli_match.h"
#include "cli_process.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

}  // namespace

const char *binary_kind(std::string_view bytes) {
  using namespace std::string_view_literals;
  if (has_png_signature(bytes)) return nullptr;
  if (starts_with(bytes, "\xFF\xD8\xFF"sv)) return "a JPEG image";
  if (starts_with(bytes, "GIF87a"sv) || starts_with(bytes, "GIF89a"sv))
    return "a GIF image";
  if (starts_with(bytes, "RIFF"sv) && bytes.size() >= 12 &&
      bytes.substr(8, 4) == "WEBP"sv)
    return "a WebP image";
  if (starts_with(bytes, "%PDF-"sv)) return "a PDF document";
  if (memchr(bytes.data(), '\0', bytes.size()) != nullptr)
    return "binary data (it holds NUL bytes)";
  return nullptr;
}

bool png_dimensions(std::string_view head, uint32_t *width, uint32_t *height) {
  using namespace std::string_view_literals;
  if (head.size() < 24 || !has_png_signature(head) || head.substr(12, 4) != "IHDR"sv)
    return false;
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
      v = (v << 8) | static_cast<unsigned char>(head[at + i]);
    return v;
  };
  *width = be32(16);
  *height = be32(20);
  return *width > 0 && *height > 0;
}

std::string image_line(uint32_t width, uint32_t height, uint64_t bytes,
                       std::string_view label) {
  std::string out = "[image ";
  if (width > 0) out += std::to_string(width) + "x" + std::to_string(height) + ", ";
  out += format_bytes(bytes);
  if (!label.empty()) out += ": " + terminal_cell(label, 80);
  return out + "]";
}

bool grows_from(std::string_view prev, std::string_view next) {
  if (prev.empty() || next.size() <= prev.size()) return false;
  return starts_with(next, prev) || next.substr(next.size() - prev.size()) == prev;
}

namespace {

// Repairs a captured text to valid UTF-8 (saying what was replaced) and cuts
// it as the library will, so that comparisons see the bytes it stores.
std::string clean_text(std::string bytes, uint64_t seen, const std::string &origin) {
  if (seen > bytes.size()) bytes.resize(bytes.size() - utf8_unfinished_tail(bytes));
  Utf8Repair r = repair_utf8(bytes);
  char note[300];
  if (r.invalid > 0) {
    snprintf(note, sizeof note,
             "%s was not valid UTF-8: %zu invalid sequence%s replaced with U+FFFD",
             origin.c_str(), r.invalid, r.invalid == 1 ? "" : "s");
    complain(note);
  }
  if (r.nul > 0) {
    snprintf(note, sizeof note, "%s held %zu NUL byte%s, replaced with U+FFFD",
             origin.c_str(), r.nul, r.nul == 1 ? "" : "s");
    complain(note);
  }
  r.text.resize(utf8_cut(r.text, CLIP_TEXT_CAP));
  return std::move(r.text);
}

struct ImageContent {
  std::string path, label;
  bool has_label = false;
};

bool parse_image(const char *json, ImageContent *out) {
  Doc doc(yyjson_read(json, strlen(json), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *p = yyjson_obj_get(root, "image_path");
  if (!yyjson_is_str(p)) return false;
  out->path.assign(yyjson_get_str(p), yyjson_get_len(p));
  yyjson_val *l = yyjson_obj_get(root, "label");
  out->has_label = yyjson_is_str(l);
  if (out->has_label) out->label.assign(yyjson_get_str(l), yyjson_get_len(l));
  return true;
}

// The newest clip that holds exactly these bytes, or nullptr. The listing's
// previews rule out almost every clip; only those whose preview matches are
// fetched and compared byte for byte. For an image, *twin_image is the
// twin's file and label.
const ClipSummary *find_twin(const std::vector<ClipSummary> &clips, const Capture &c,
                             ImageContent *twin_image) {
  if (c.kind == ClipKind::text) {
    std::string preview = text_preview(c.bytes);
    for (auto &clip : clips) {
      if (clip.image || clip.preview != preview) continue;
      ClipString got(clip_get(clip.id));
      if (got && std::string_view(got.get()) == c.bytes) return &clip;
    }
    return nullptr;
  }
  std::string start = image_preview_start(c.bytes.size());
  for (auto &clip : clips) {
    if (!clip.image || clip.preview.compare(0, start.size(), start) != 0) continue;
    char next = clip.preview.size() > start.size() ? clip.preview[start.size()] : '\0';
    if (next != ']' && next != ':') continue;
    ClipString got(clip_get(clip.id));
    ImageContent image;
    if (!got || !parse_image(got.get(), &image)) continue;
    struct stat st;
    if (stat(image.path.c_str(), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) != c.bytes.size())
      continue;
    std::string bytes, error;
    if (read_whole_file(image.path, &bytes, &error) && bytes == c.bytes) {
      *twin_image = std::move(image);
      return &clip;
    }
  }
  return nullptr;
}

bool parse_push_result(const char *json, Recorded *out) {
  out->result = json;
  Doc doc(yyjson_read(json, strlen(json), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  out->id = static_cast<int>(json_int(yyjson_obj_get(root, "id")));
  out->dedup = json_int(yyjson_obj_get(root, "dedup")) != 0;
  return true;
}

// Makes a text what the library will store (clean_text) and an image's
// label valid UTF-8, then says why the capture is not to be recorded, or ""
// to record it.
std::string screen(Capture *c, const Config &config) {
  if (c->kind == ClipKind::text) {
    c->bytes = clean_text(std::move(c->bytes), c->seen, c->origin);
    // A selection of nothing but blanks is noise in a history; push, which
    // is asked for, records it all the same.
    return is_blank_text(c->bytes) ? "it holds only white space"
                                   : config.skip_reason(c->bytes);
  }
  if (c->has_label) c->label = repair_utf8(c->label).text;
  return "";
}

// The answer for a capture whose twin, clip id, is pinned: nothing is added.
void answer_pinned_twin(int id, Recorded *out) {
  out->id = id;
  out->dedup = out->pinned_twin = true;
  out->result = "{\"id\":" + std::to_string(id) + ",\"dedup\":1}";
}

// An image without a label that replaces its older copy takes that copy's
// label: it is all that tells what the picture was.
void inherit_label(Capture *c, const ImageContent &twin_image) {
  if (c->kind != ClipKind::image || c->has_label || !twin_image.has_label) return;
  c->has_label = true;
  c->label = twin_image.label;
}

// Whether a push into the history clips (newest first) evicts clip
// doomed_id: in a full history the push evicts the oldest unpinned clips, as
// it does for any new clip, and when the one to replace is among them, the
// push alone has replaced it.
bool evicted_by_push(const std::vector<ClipSummary> &clips, int doomed_id) {
  size_t unpinned = 0;
  for (auto &clip : clips) unpinned += clip.pinned ? 0 : 1;
  size_t excess = unpinned >= size_t{CLIP_MAX_UNPINNED}
                      ? unpinned - (size_t{CLIP_MAX_UNPINNED} - 1)
                      : 0;
  // Newest first: the oldest unpinned clips are at the end.
  for (auto it = clips.rbegin(); it != clips.rend() && excess > 0; ++it) {
    if (it->pinned) continue;
    if (it->id == doomed_id) return true;
    --excess;
  }
  return false;
}

// Stores the capture; *out holds the library's answer. Prints the library's
// message and returns false when it refuses: the clip that was to give way,
// doomed_id, is untouched then, as it goes only once the new one is stored.
bool push_capture(const Capture &c, int doomed_id, Recorded *out) {
  ClipString result;
  if (c.kind == ClipKind::text) {
    result.reset(clip_push_text(c.bytes.c_str()));
  } else {
    // The caller keeps one byte beyond the cap, so an image that is too big
    // is refused by the library in its own words.
    int len = static_cast<int>(std::min(c.bytes.size(), kReadLimit));
    result.reset(clip_push_image(reinterpret_cast<const unsigned char *>(c.bytes.data()),
                                 len, c.has_label ? c.label.c_str() : nullptr));
  }
  if (!result) {
    std::string why = library_error();
    if (doomed_id != 0)
      why += "; clip " + std::to_string(doomed_id) + " stays where it was";
    complain(why);
    return false;
  }
  parse_push_result(result.get(), out);
  return true;
}

// Deletes the clip the new one replaces, doomed_id (0: none), unless the
// push evicted it already or answered with it, and notes it as replaced.
// False, said on standard error, when it cannot be deleted: both copies are
// then in the history.
bool drop_replaced(int doomed_id, bool evicted, Recorded *out) {
  if (doomed_id == 0 || out->id == doomed_id) return true;
  // A repeat of the newest clip adds nothing, and so evicts nothing.
  if ((out->dedup || !evicted) && !clip_delete(doomed_id)) {
    complain("clip " + std::to_string(out->id) + " is stored, but clip " +
             std::to_string(doomed_id) + " could not be deleted: " + library_error());
    return false;
  }
  out->replaced = doomed_id;
  return true;
}

uint64_t g_recorded = 0;

}  // namespace

Recorder::Recorder(std::string dir, const Config &config)
    : dir_(std::move(dir)), config_(config) {}

Recorder::~Recorder() = default;

void Recorder::wrote() { trust_loaded_store(); }

bool Recorder::open(StoreLock *held) {
  StoreLock &lock = held != nullptr ? *held : lock_;
  if (open_store(dir_, &lock)) return true;
  if (held == nullptr) lock_.release();
  return false;
}

bool Recorder::grows_selection(const Capture &c, long now) const {
  return c.kind == ClipKind::text && c.selection && selection_id_ > 0 &&
         now - selection_ms_ <= kSelectionWindowMs && grows_from(selection_text_, c.bytes);
}

const ClipSummary *Recorder::previous_selection(const std::vector<ClipSummary> &clips) const {
  // The id alone is not enough: after a wipe ids start again at 1, and
  // the clip that bears it now may be anything.
  const ClipSummary *found = nullptr;
  std::string preview = text_preview(selection_text_);
  for (auto &clip : clips) {
    if (clip.id != selection_id_ || clip.pinned || clip.image || clip.preview != preview)
      continue;
    ClipString got(clip_get(clip.id));
    if (got && std::string_view(got.get()) == selection_text_) found = &clip;
  }
  return found;
}

// A PRIMARY text may give way to its growth only when this selection made
// it; a capture of another selection that lands on that clip (a Ctrl-C of
// the selected text) makes it a clip copied on purpose, which stays.
void Recorder::settle_selection(const Capture &c, long now, int made, const Recorded &out) {
  if (c.selection && c.kind == ClipKind::text) {
    selection_id_ = made;
    selection_text_ = c.bytes;
    selection_ms_ = now;
  } else if (selection_id_ != 0 &&
             (out.id == selection_id_ || out.replaced == selection_id_ ||
              out.twin == selection_id_)) {
    selection_id_ = 0;
  }
}

bool Recorder::record(Capture c, Recorded *out, StoreLock *held) {
  *out = Recorded{};
  out->skipped = screen(&c, config_);
  if (!out->skipped.empty()) return true;
  if (!open(held)) return false;
  struct Unlock {
    StoreLock *lock;
    ~Unlock() {
      if (lock != nullptr) lock->release();
    }
  } unlock{held != nullptr ? nullptr : &lock_};
  // Whatever goes wrong below, the next capture loads the store again: a
  // failed write leaves the library's memory ahead of the file.
  forget_loaded_store();
  long now = now_ms();
  bool grows = grows_selection(c, now);

  // What the history holds already: an older copy of the same bytes, and
  // the clip the new one replaces.
  std::vector<ClipSummary> clips;
  if ((!config_.keep_duplicates || grows) && !all_clips(&clips)) return false;
  ImageContent twin_image;
  const ClipSummary *twin =
      config_.keep_duplicates ? nullptr : find_twin(clips, c, &twin_image);
  if (twin != nullptr) out->twin = twin->id;
  if (twin != nullptr && twin->pinned) {
    answer_pinned_twin(twin->id, out);
    settle_selection(c, now, 0, *out);
    trust_loaded_store();
    return true;
  }
  const ClipSummary *doomed = grows ? previous_selection(clips) : nullptr;
  out->grown = doomed != nullptr;
  // The newest clip is the library's own repeat: it answers with dedup.
  if (doomed == nullptr && twin != nullptr && twin != &clips.front()) doomed = twin;
  if (doomed != nullptr && doomed == twin) inherit_label(&c, twin_image);

  // The new clip goes in first and the one it replaces only once the new
  // one is stored, so that no failure leaves neither.
  int doomed_id = doomed != nullptr ? doomed->id : 0;
  bool evicted = doomed != nullptr && evicted_by_push(clips, doomed_id);
  if (!push_capture(c, doomed_id, out)) return false;
  if (!drop_replaced(doomed_id, evicted, out)) {
    // Both copies are in the history; the next capture loads it again.
    settle_selection(c, now, 0, *out);
    return true;
  }
  // Only a clip this selection made may give way to its growth: one that
  // was there before (a repeat) was copied on purpose.
  settle_selection(c, now, !out->dedup && (out->replaced == 0 || out->grown) ? out->id : 0,
                   *out);
  if (!out->dedup) ++g_recorded;
  trust_loaded_store();
  return true;
}

uint64_t clips_recorded() { return g_recorded; }

bool record_clip(const std::string &dir, ClipKind kind, std::string bytes,
                 uint64_t bytes_seen, const char *origin, Recorded *out) {
  static const Config kDefaults;
  Recorder recorder(dir, kDefaults);
  Capture c;
  c.kind = kind;
  c.bytes = std::move(bytes);
  c.seen = bytes_seen;
  c.origin = origin;
  return recorder.record(std::move(c), out);
}

void print_recorded(const char *name, ClipKind kind, uint64_t seen, bool labelled,
                    const Recorded &rec) {
  if (!rec.skipped.empty()) {
    printf("%s: not recorded, %s\n", name, rec.skipped.c_str());
  } else if (rec.pinned_twin) {
    printf("%s: repeats pinned clip %d\n", name, rec.id);
  } else if (rec.dedup) {
    printf("%s: repeats clip %d\n", name, rec.id);
  } else {
    std::string how;
    if (rec.replaced != 0) {
      how = (rec.grown ? ", grown from clip " : ", moved to the top from clip ") +
            std::to_string(rec.replaced);
    }
    printf("%s: %s clip %d (%llu bytes%s)%s\n", name,
           kind == ClipKind::text ? "text" : "image", rec.id,
           static_cast<unsigned long long>(seen),
           labelled ? ", labelled by its text" : "", how.c_str());
  }
}


}  // namespace host
