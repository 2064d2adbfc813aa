#include "test_support.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "clip_fault.h"
#include "clip_hash.h"
#include "clip_sys.h"
#include "quillmar_clip.h"

#if defined(_WIN32)
std::filesystem::path fs_path(const std::string &utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t *>(utf8.data()), utf8.size()));
}

std::string utf8_of(const std::filesystem::path &p) {
  std::u8string s = p.u8string();
  return std::string(reinterpret_cast<const char *>(s.data()), s.size());
}

int mkdir(const char *path, unsigned) {
  std::error_code ec;
  if (std::filesystem::create_directory(fs_path(path), ec)) return 0;
  errno = ec ? ec.value() : EEXIST;
  return -1;
}
#else
std::filesystem::path fs_path(const std::string &utf8) { return utf8; }
std::string utf8_of(const std::filesystem::path &p) { return p.string(); }
#endif

TempDir::TempDir() {
#if defined(_WIN32)
  // No mkdtemp: a random name, made with a call that fails when it exists.
  std::random_device rd;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string name = "quillmar-test-" + std::to_string(rd()) + std::to_string(rd());
    std::filesystem::path p = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    // With "/" throughout, the path reads the same inside a JSON string.
    if (std::filesystem::create_directory(p, ec)) path_ = utf8_of(p.generic_u8string());
  }
  if (path_.empty()) throw std::runtime_error("no temporary directory could be made");
#else
  std::string tmpl = (std::filesystem::temp_directory_path() / "quillmar-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(fs_path(path_), ec);
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(fs_path(path), ec));
}

std::string read_file(const std::string &path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &ent : std::filesystem::directory_iterator(fs_path(path))) {
    names.push_back(utf8_of(ent.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string take(char *s) {
  if (s == nullptr) return "<null>";
  std::string out(s);
  clip_free_string(s);
  return out;
}

std::string last_error() { return clip_last_error(); }

std::string error_text(int err) { return clip_sys_error_text(err); }

std::string hash_of(const std::string &bytes) { return model::fingerprint(bytes); }

std::string numbered(const char *prefix, long n) {
  std::string out = prefix;
  out += std::to_string(n);
  return out;
}

std::string preview_of(const model::Clip &c) {
  if (c.kind == CLIP_KIND_IMAGE) {
    return "[image " + std::to_string(c.bytes.size()) + " bytes" +
           (c.label.empty() ? "" : ": " + c.label) + "]";
  }
  char *preview = clip_store_make_preview(c.text.data(), c.text.size());
  EXPECT_NE(preview, nullptr) << "out of memory for the preview of clip " << c.id;
  std::string out = preview != nullptr ? preview : "";
  free(preview);
  return out;
}

model::Clip text_clip(int id, const std::string &text, bool pinned) {
  model::Clip c;
  c.id = id;
  c.kind = CLIP_KIND_TEXT;
  c.pinned = pinned;
  c.hash = model::fingerprint(text);
  c.text = text;
  c.preview = preview_of(c);
  return c;
}

model::Clip image_clip(int id, const std::string &png, const char *label, bool pinned) {
  model::Clip c;
  c.id = id;
  c.kind = CLIP_KIND_IMAGE;
  c.pinned = pinned;
  c.hash = model::fingerprint(png);
  c.bytes = png;
  c.has_label = label != nullptr;
  if (label != nullptr) c.label = label;
  c.preview = preview_of(c);
  return c;
}

std::string text_of(int id) { return numbered("clip ", id); }

std::string png_of(int id) { return std::string("png\0", 4) + std::to_string(id); }

std::vector<model::Clip> numbered_clips(int n, const std::set<int> &pinned,
                                        const std::set<int> &images) {
  std::vector<model::Clip> out;
  for (int id = 1; id <= n; ++id) {
    bool pin = pinned.count(id) > 0;
    out.push_back(images.count(id) > 0 ? image_clip(id, png_of(id), nullptr, pin)
                                       : text_clip(id, text_of(id), pin));
  }
  return out;
}

void seed_history(const std::string &dir, const std::vector<model::Clip> &clips,
                  int next_id) {
  std::filesystem::create_directories(fs_path(dir));
  for (const auto &ent : std::filesystem::directory_iterator(fs_path(dir))) {
    if (!ent.is_directory()) std::filesystem::remove(ent.path());
  }
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", next_id);
  yyjson_mut_val *list = yyjson_mut_obj_add_arr(doc, root, "clips");
  for (const model::Clip &c : clips) {
    bool image = c.kind == CLIP_KIND_IMAGE;
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, list);
    yyjson_mut_obj_add_int(doc, o, "id", c.id);
    yyjson_mut_obj_add_int(doc, o, "ts", kSeedTs + c.id);
    yyjson_mut_obj_add_str(doc, o, "kind", image ? "image" : "text");
    yyjson_mut_obj_add_strncpy(doc, o, "preview", c.preview.data(), c.preview.size());
    yyjson_mut_obj_add_bool(doc, o, "pinned", c.pinned != 0);
    yyjson_mut_obj_add_strncpy(doc, o, "hash", c.hash.data(), c.hash.size());
    yyjson_mut_obj_add_bool(doc, o, "truncated", c.truncated != 0);
    if (!image) {
      yyjson_mut_obj_add_strncpy(doc, o, "text", c.text.data(), c.text.size());
    } else {
      if (c.has_label) {
        yyjson_mut_obj_add_strncpy(doc, o, "label", c.label.data(), c.label.size());
      }
      if (!c.bytes.empty())
        write_file(dir + "/img_" + std::to_string(c.id) + ".png", c.bytes);
    }
  }
  size_t len = 0;
  char *json = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len);
  yyjson_mut_doc_free(doc);
  ASSERT_NE(json, nullptr) << "the seeded history cannot be written";
  write_file(dir + "/clips.json", std::string(json, len));
  free(json);
}

char *push_png(const std::string &png, const char *label) {
  return clip_push_image(reinterpret_cast<const unsigned char *>(png.data()),
                         static_cast<int>(png.size()), label);
}

int push_text(const std::string &text) {
  model::Outcome o = model::answer_of(clip_push_text(text.c_str()));
  EXPECT_TRUE(o.ok && !o.dedup)
      << "not a new clip: \"" << text.substr(0, 40) << "\" " << last_error();
  return o.ok && !o.dedup ? o.id : 0;
}

int push_image(const std::string &png, const char *label) {
  model::Outcome o = model::answer_of(push_png(png, label));
  EXPECT_TRUE(o.ok && !o.dedup) << "not a new image clip: " << last_error();
  return o.ok && !o.dedup ? o.id : 0;
}

std::vector<int> range(int from, int to) {
  std::vector<int> out;
  for (int id = from; id <= to; ++id) out.push_back(id);
  return out;
}

std::vector<int> down(int from, int to) {
  std::vector<int> out;
  for (int id = from; id >= to; --id) out.push_back(id);
  return out;
}

std::vector<int> ids() {
  std::vector<int> out;
  for (int i = 0; i < g_store.count; ++i) out.push_back(g_store.entries[i].id);
  return out;
}

const clip_entry &newest() {
  static const clip_entry none{};
  if (g_store.count == 0) {
    ADD_FAILURE() << "the history is empty";
    return none;
  }
  return g_store.entries[g_store.count - 1];
}

void for_each_in_array(const std::string &json,
                       const std::function<void(yyjson_val *)> &each) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_TRUE(yyjson_is_arr(root)) << json;
  size_t i, max;
  yyjson_val *obj;
  yyjson_arr_foreach(root, i, max, obj) { each(obj); }
  yyjson_doc_free(doc);
}

std::vector<int> ints_of(const std::string &json, const char *key) {
  std::vector<int> out;
  for_each_in_array(json, [&](yyjson_val *obj) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    out.push_back(yyjson_is_bool(v) ? yyjson_get_bool(v)
                                    : static_cast<int>(yyjson_get_int(v)));
  });
  return out;
}

std::vector<std::string> strings_of(const std::string &json, const char *key) {
  std::vector<std::string> out;
  for_each_in_array(json, [&](yyjson_val *obj) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    EXPECT_TRUE(yyjson_is_str(v)) << key << " in " << json;
    out.emplace_back(yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v))
                                      : "");
  });
  return out;
}

void StoreTest::SetUp() {
  clip_fault_reset();
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
}

void StoreTest::TearDown() { clip_fault_reset(); }

void StoreTest::reopen() {
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
}

void StoreTest::seed(const std::vector<model::Clip> &clips, int next_id) {
  seed_history(dir_.path(), clips, next_id);
  reopen();
}

Snapshot StoreTest::snapshot() const {
  Snapshot s{ids(), {}, g_store.next_id, index(), list_dir(dir_.path())};
  for (int i = 0; i < g_store.count; ++i) s.ts.push_back(g_store.entries[i].ts);
  return s;
}

void StoreTest::expect_unchanged(const Snapshot &before) const {
  Snapshot now = snapshot();
  EXPECT_EQ(now.ids, before.ids);
  EXPECT_EQ(now.ts, before.ts);
  EXPECT_EQ(now.next_id, before.next_id);
  EXPECT_EQ(now.index, before.index);
  EXPECT_EQ(now.files, before.files);
}
