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

std::string hash_of(const std::string &bytes) {
  char out[CLIP_HASH_CHARS];
  clip_hash_bytes(bytes.data(), bytes.size(), out);
  return out;
}

std::string numbered(const char *prefix, long n) {
  std::string out = prefix;
  out += std::to_string(n);
  return out;
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

void StoreTest::SetUp() {
  clip_fault_reset();
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
}

void StoreTest::TearDown() { clip_fault_reset(); }

void StoreTest::reopen() {
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
}

void StoreTest::seed_texts(int n, const std::set<int> &pinned, int64_t (*ts_of)(int id)) {
  std::string s = "{\"next_id\":" + std::to_string(n + 1) + ",\"clips\":[";
  for (int id = 1; id <= n; ++id) {
    std::string text = "clip " + std::to_string(id);
    char hash[CLIP_HASH_CHARS];
    clip_hash_text(text.c_str(), text.size(), hash);
    s += (id > 1 ? "," : "");
    s += "{\"id\":" + std::to_string(id) + ",\"ts\":" + std::to_string(ts_of(id)) +
         ",\"kind\":\"text\",\"preview\":\"" + text +
         "\",\"pinned\":" + (pinned.count(id) ? "true" : "false") + ",\"hash\":\"" +
         hash + "\",\"truncated\":false,\"text\":\"" + text + "\"}";
  }
  write_file(dir_.file("clips.json"), s + "]}");
  reopen();
}
