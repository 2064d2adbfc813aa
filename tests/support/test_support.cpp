#include "test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "clip_fault.h"
#include "clip_hash.h"
#include "quillmar_clip.h"

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quillmar-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &ent : std::filesystem::directory_iterator(path)) {
    names.push_back(ent.path().filename().string());
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

std::string hash_of(const std::string &bytes) {
  char out[CLIP_HASH_CHARS];
  clip_hash_bytes(bytes.data(), bytes.size(), out);
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
