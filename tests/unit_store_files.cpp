// What the library keeps on disk: the store directory, the index clips.json
// (written whole through clips.json.tmp, loaded, set aside when damaged) and
// the image files, with every failure of those steps.
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "clip_error.h"
#include "test_support.h"

namespace {

const std::string kFresh = "{\n    \"next_id\": 1,\n    \"clips\": []\n}";
const std::string kCorrupt = "clips.json.corrupt.";

// The seconds of a set-aside name, or -1 when the name is not one.
long aside_seconds(const std::string &name) {
  if (name.compare(0, kCorrupt.size(), kCorrupt) != 0) return -1;
  std::string rest = name.substr(kCorrupt.size());
  size_t digits = rest.find_first_not_of("0123456789");
  if (digits == 0) return -1;
  std::string suffix = digits == std::string::npos ? "" : rest.substr(digits);
  if (!suffix.empty() &&
      (suffix.size() < 2 || suffix[0] != '.' ||
       suffix.find_first_not_of("0123456789", 1) != std::string::npos)) {
    return -1;
  }
  return std::stol(rest.substr(0, digits));
}

// Every entry of a directory with what it holds, one per line, sorted:
// "name=bytes" for a file, "name/" for a directory, "name|" for a FIFO and
// "name@target" for a symbolic link. The seconds of a set-aside index read
// "<s>", so that expectations do not depend on the clock.
std::string dir_state(const std::string &dir) {
  std::string out;
  for (const std::string &name : list_dir(dir)) {
    std::string path = dir + "/" + name;
    std::string shown = name;
    if (aside_seconds(name) >= 0) {
      size_t end = name.find_first_not_of("0123456789", kCorrupt.size());
      shown = kCorrupt + "<s>" + (end == std::string::npos ? "" : name.substr(end));
    }
    if (!out.empty()) out += '\n';
    struct stat st;
    lstat(path.c_str(), &st);
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX] = {};
      ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      out += shown + "@" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      out += shown + "/";
    } else if (S_ISFIFO(st.st_mode)) {
      out += shown + "|";
    } else {
      out += shown + "=" + read_file(path);
    }
  }
  return out;
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// The list as loaded: "next N", then one " | " part per clip giving its id,
// its kind and every field that is not the kind's default (ts 0, flags 0,
// empty hash and preview, empty text for a text clip, no text and no label
// for an image clip).
std::string describe(const clip_store &s) {
  std::string out = "next " + std::to_string(s.next_id);
  for (int i = 0; i < s.count; ++i) {
    const clip_entry &e = s.entries[i];
    bool image = e.kind == CLIP_KIND_IMAGE;
    out += " | " + std::to_string(e.id) +
           (image         ? " image"
            : e.kind == 0 ? " text"
                          : " kind?");
    if (e.ts != 0) out += " ts=" + std::to_string(e.ts);
    if (e.pinned != 0) out += " pin=" + std::to_string(e.pinned);
    if (e.truncated != 0) out += " trunc=" + std::to_string(e.truncated);
    if (e.hash[0] != '\0') out += " hash='" + std::string(e.hash) + "'";
    if (e.preview == nullptr) {
      out += " preview=null";
    } else if (e.preview[0] != '\0') {
      out += " preview='" + std::string(e.preview) + "'";
    }
    if (e.text == nullptr) {
      if (!image) out += " text=null";
    } else if (image || e.text[0] != '\0') {
      out += " text='" + std::string(e.text) + "'";
    }
    if (e.text != nullptr && e.text_len != strlen(e.text)) {
      out += " text_len=" + std::to_string(e.text_len);
    }
    if (e.label != nullptr) out += " label='" + std::string(e.label) + "'";
  }
  return out;
}

class StoreFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { clip_fault_reset(); }
  void TearDown() override { clip_fault_reset(); }
  std::string index_path() const { return dir_.file("clips.json"); }
  TempDir dir_;
};

// ---------------------------------------------------------------------------
// The store directory

TEST_F(StoreFilesTest, EnsureDir) {
  struct Case {
    const char *name;
    std::function<std::string(const TempDir &)> prepare;  // the path; "<null>" for null
    bool result;
    std::string (*message)(const std::string &path);
    mode_t mode;  // of the directory afterwards; 0: no directory there
  };
  auto none = [](const std::string &) { return std::string(); };
  auto empty = [](const std::string &) { return std::string("store_dir is empty"); };
  auto not_dir = [](const std::string &p) {
    return "store_dir is not a directory: " + p;
  };
  const Case cases[] = {
      {"null", [](const TempDir &) { return std::string("<null>"); }, 0, empty, 0},
      {"empty", [](const TempDir &) { return std::string(); }, 0, empty, 0},
      {"missing: made owner-only", [](const TempDir &d) { return d.file("new"); }, 1,
       none, 0700},
      {"existing: left as it is",
       [](const TempDir &d) {
         mkdir(d.file("old").c_str(), 0700);
         chmod(d.file("old").c_str(), 0751);
         return d.file("old");
       },
       1, none, 0751},
      {"link to a directory",
       [](const TempDir &d) {
         mkdir(d.file("real").c_str(), 0700);
         symlink(d.file("real").c_str(), d.file("link").c_str());
         return d.file("link");
       },
       1, none, 0700},
      {"regular file",
       [](const TempDir &d) {
         write_file(d.file("f"), "x");
         return d.file("f");
       },
       0, not_dir, 0},
      {"fifo",
       [](const TempDir &d) {
         mkfifo(d.file("p").c_str(), 0600);
         return d.file("p");
       },
       0, not_dir, 0},
      {"parent missing", [](const TempDir &d) { return d.file("a/b"); }, 0,
       [](const std::string &p) {
         return "mkdir failed: " + p + " (No such file or directory)";
       },
       0},
      {"parent is a file",
       [](const TempDir &d) {
         write_file(d.file("f"), "x");
         return d.file("f/b");
       },
       0,
       [](const std::string &p) { return "mkdir failed: " + p + " (Not a directory)"; },
       0},
      {"appeared between lookup and mkdir",
       [](const TempDir &d) {
         mkdir(d.file("raced").c_str(), 0750);
         clip_fault_arm(CLIP_FAULT_STAT, 1);
         return d.file("raced");
       },
       1, none, 0750},
      {"mkdir fails",
       [](const TempDir &d) {
         clip_fault_arm(CLIP_FAULT_MKDIR, 1);
         return d.file("new");
       },
       0,
       [](const std::string &p) {
         return "mkdir failed: " + p + " (Input/output error)";
       },
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    std::string path = c.prepare(d);
    const char *arg = path == "<null>" ? nullptr : path.c_str();
    clip_clear_error();
    EXPECT_EQ(clip_store_ensure_dir(arg), c.result);
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message(path));
    struct stat st;
    bool is_dir = arg != nullptr && stat(arg, &st) == 0 && S_ISDIR(st.st_mode);
    EXPECT_EQ(is_dir, c.mode != 0);
    if (c.mode != 0) {
      EXPECT_EQ(mode_of(path), c.mode);
    }
  }
}

TEST_F(StoreFilesTest, FilesAreOwnerOnly) {
  const std::string store = dir_.file("store");
  ASSERT_EQ(clip_init(store.c_str()), 1);
  EXPECT_EQ(mode_of(store), 0700u);
  EXPECT_EQ(mode_of(store + "/clips.json"), 0600u);

  // An index made by someone else is replaced by one of ours.
  TempDir other;
  write_file(other.file("clips.json"), kFresh);
  chmod(other.file("clips.json").c_str(), 0644);
  chmod(other.path().c_str(), 0755);
  ASSERT_EQ(clip_init(other.path().c_str()), 1);
  const unsigned char png[] = {1, 2, 3};
  ASSERT_EQ(take(clip_push_image(png, 3, nullptr)), R"({"id":1})");
  EXPECT_EQ(mode_of(other.file("clips.json")), 0600u);
  EXPECT_EQ(mode_of(other.file("img_1.png")), 0600u);
  EXPECT_EQ(mode_of(other.path()), 0755u);
}

// ---------------------------------------------------------------------------
// Paths

TEST_F(StoreFilesTest, PathsThatDoNotFitAreRefusedWhole) {
  struct Case {
    size_t cap;
    size_t dir_len;
    bool fits;
  };
  // "<dir>/x" needs dir_len + 3 bytes with its NUL.
  const Case cases[] = {{9, 6, true},
                        {9, 7, false},
                        {CLIP_PATH_CAP, 4095, true},
                        {CLIP_PATH_CAP, CLIP_PATH_CAP - 3, true},
                        {CLIP_PATH_CAP, CLIP_PATH_CAP - 2, false},
                        {1, 0, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dir_len);
    std::string out(c.cap, '#');
    std::string dir(c.dir_len, 'd');
    EXPECT_EQ(clip_store_path(out.data(), c.cap, "%s/x", dir.c_str()), c.fits);
    EXPECT_EQ(std::string(out.c_str()), c.fits ? dir + "/x" : "");
  }

  char small[16];
  EXPECT_STREQ(clip_store_image_path("/s", -12, small, sizeof small), "/s/img_-12.png");
  EXPECT_EQ(clip_store_image_path("/store", 123456, small, sizeof small), nullptr);
  EXPECT_STREQ(small, "");
}

// ---------------------------------------------------------------------------
// Image files

TEST_F(StoreFilesTest, BlobIsWrittenWholeAndALeftoverTmpIsReplaced) {
  const std::string path = dir_.file("img_1.png");
  const std::string bytes("\x89PNG\0\r\n", 7);
  ASSERT_TRUE(clip_store_write_blob(path.c_str(), bytes.data(), bytes.size()));
  EXPECT_EQ(dir_state(dir_.path()), "img_1.png=" + bytes);
  EXPECT_EQ(mode_of(path), 0600u);

  // A temporary file an interrupted write left behind, of a wider mode, is
  // replaced by a fresh one; the old file under the final name is replaced.
  write_file(path + ".tmp", std::string(100, 'x'));
  ASSERT_EQ(chmod((path + ".tmp").c_str(), 0644), 0);
  ASSERT_TRUE(clip_store_write_blob(path.c_str(), "ab", 2));
  EXPECT_EQ(dir_state(dir_.path()), "img_1.png=ab");
  EXPECT_EQ(mode_of(path), 0600u);
}

TEST_F(StoreFilesTest, BlobWriteFailuresLeaveNoFile) {
  struct Case {
    const char *name;
    std::function<void(const TempDir &)> prepare;
    const char *message;
  };
  const Case cases[] = {
      {"open", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_OPEN, 1); },
       "failed to open blob tmp: Permission denied"},
      {"tmp is a directory",
       [](const TempDir &d) { mkdir(d.file("img_1.png.tmp").c_str(), 0700); },
       "failed to open blob tmp: Is a directory"},
      {"write", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_WRITE, 1); },
       "short write on blob"},
      {"fsync", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_SYNC, 1); },
       "failed to flush blob"},
      {"close", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_CLOSE, 1); },
       "failed to flush blob"},
      {"rename", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_RENAME, 1); },
       "rename blob failed: Input/output error"},
      {"final name is a directory",
       [](const TempDir &d) {
         mkdir(d.file("img_1.png").c_str(), 0700);
         write_file(d.file("img_1.png/inside"), "x");
       },
       "rename blob failed: Is a directory"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    c.prepare(d);
    const std::string before = dir_state(d.path());
    EXPECT_FALSE(clip_store_write_blob(d.file("img_1.png").c_str(), "png", 3));
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(dir_state(d.path()), before);
  }

  // A temporary name that would not fit its buffer is never used cut.
  std::string long_path = dir_.path() + "/";
  long_path.resize(CLIP_PATH_CAP - 4, 'i');
  EXPECT_FALSE(clip_store_write_blob(long_path.c_str(), "png", 3));
  EXPECT_EQ(last_error(), "failed to open blob tmp: File name too long");
  EXPECT_EQ(clip_fault_calls(CLIP_FAULT_OPEN), 0);
  EXPECT_EQ(dir_state(dir_.path()), "");
}

TEST_F(StoreFilesTest, UnlinkBlobNeverFails) {
  clip_store s{};
  snprintf(s.store_dir, sizeof s.store_dir, "%s", dir_.path().c_str());
  write_file(dir_.file("img_3.png"), "three");
  write_file(dir_.file("img_30.png"), "thirty");
  write_file(dir_.file("img_-4.png"), "minus four");

  clip_clear_error();
  clip_fault_arm(CLIP_FAULT_UNLINK, 1);
  clip_store_unlink_blob(&s, 3);  // not reported, file stays
  clip_fault_reset();
  EXPECT_EQ(last_error(), "");
  clip_store_unlink_blob(&s, 3);
  clip_store_unlink_blob(&s, 3);  // already gone
  clip_store_unlink_blob(&s, -4);
  EXPECT_EQ(dir_state(dir_.path()), "img_30.png=thirty");
  const long calls = clip_fault_calls(CLIP_FAULT_UNLINK);

  // The path of an image file fits its buffer whole for the longest store
  // directory: the removal is tried with the whole name (which the system
  // may refuse as too long), never with a cut one.
  memset(s.store_dir, 'd', CLIP_DIR_CAP - 1);
  s.store_dir[CLIP_DIR_CAP - 1] = '\0';
  clip_store_unlink_blob(&s, 2147483647);
  EXPECT_EQ(clip_fault_calls(CLIP_FAULT_UNLINK), calls + 1);
}

// ---------------------------------------------------------------------------
// Writing the index

TEST_F(StoreFilesTest, FreshIndexIsWrittenAtOnce) {
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(dir_state(dir_.path()), "clips.json=" + kFresh);
  EXPECT_EQ(describe(g_store), "next 1");
}

TEST_F(StoreFilesTest, SaveWritesEveryEntryExactly) {
  clip_store s{};
  snprintf(s.store_dir, sizeof s.store_dir, "%s", dir_.path().c_str());
  s.next_id = 5;
  auto add = [&](int id, int64_t ts, int kind, const char *preview, int pinned,
                 const char *hash, int truncated, const char *text, const char *label) {
    clip_entry e{};
    e.id = id;
    e.ts = ts;
    e.kind = kind;
    e.preview = preview ? strdup(preview) : nullptr;
    e.pinned = pinned;
    snprintf(e.hash, sizeof e.hash, "%s", hash);
    e.truncated = truncated;
    e.text = text ? strdup(text) : nullptr;
    e.text_len = text ? strlen(text) : 0;
    e.label = label ? strdup(label) : nullptr;
    ASSERT_TRUE(clip_list_append(&s, &e));
  };
  add(1, 1700000000, CLIP_KIND_TEXT, "say \"hi\"\\n", 1, "0123456789abcdef", 0,
      "say \"hi\"\\\n\ttab\r\b\f\x01\x1f / \x7f é€😀", nullptr);
  add(INT_MIN, -1, CLIP_KIND_IMAGE, nullptr, 0, "", 0, nullptr, "a/b \"c\"");
  add(INT_MAX, INT64_MAX, CLIP_KIND_IMAGE, "[image 3 bytes]", 2, "ffffffffffffffff", 1,
      nullptr, nullptr);
  add(4, INT64_MIN, CLIP_KIND_TEXT, "", 0, "", 7, nullptr, nullptr);

  ASSERT_TRUE(clip_store_save(&s)) << clip_last_error();
  const std::string expected = R"({
    "next_id": 5,
    "clips": [
        {
            "id": 1,
            "ts": 1700000000,
            "kind": "text",
            "preview": "say \"hi\"\\n",
            "pinned": true,
            "hash": "0123456789abcdef",
            "truncated": false,
            "text": "say \"hi\"\\\n\ttab\r\b\f\u0001\u001F / )"
                               "\x7f"
                               R"( é€😀"
        },
        {
            "id": -2147483648,
            "ts": -1,
            "kind": "image",
            "preview": "",
            "pinned": false,
            "hash": "",
            "truncated": false,
            "label": "a/b \"c\""
        },
        {
            "id": 2147483647,
            "ts": 9223372036854775807,
            "kind": "image",
            "preview": "[image 3 bytes]",
            "pinned": true,
            "hash": "ffffffffffffffff",
            "truncated": true
        },
        {
            "id": 4,
            "ts": -9223372036854775808,
            "kind": "text",
            "preview": "",
            "pinned": false,
            "hash": "",
            "truncated": true,
            "text": ""
        }
    ]
})";
  EXPECT_EQ(dir_state(dir_.path()), "clips.json=" + expected);
  clip_list_clear(&s);
}

TEST_F(StoreFilesTest, LoadedEntriesAreSavedBackInFull) {
  write_file(
      index_path(),
      R"({"clips":[{"kind":"text","id":3,"pinned":2,"ts":1.5,)"
      R"("hash":"abcdefghijklmnopqrst","extra":1},)"
      R"({"id":4,"kind":"image","label":null,"text":"no"},)"
      R"({"id":5,"kind":"image","label":"","truncated":true,"preview":"[image 1 bytes]"}],)"
      R"("next_id":9})");
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  ASSERT_TRUE(clip_store_save(&g_store));
  EXPECT_EQ(read_file(index_path()), R"({
    "next_id": 9,
    "clips": [
        {
            "id": 3,
            "ts": 0,
            "kind": "text",
            "preview": "",
            "pinned": true,
            "hash": "abcdefghijklmnop",
            "truncated": false,
            "text": ""
        },
        {
            "id": 4,
            "ts": 0,
            "kind": "image",
            "preview": "",
            "pinned": false,
            "hash": "",
            "truncated": false
        },
        {
            "id": 5,
            "ts": 0,
            "kind": "image",
            "preview": "[image 1 bytes]",
            "pinned": false,
            "hash": "",
            "truncated": true,
            "label": ""
        }
    ]
})");
}

// Each failure leaves the index, the directory and the list as they were.
TEST_F(StoreFilesTest, SaveFailuresLeaveThePreviousIndex) {
  struct Case {
    const char *name;
    std::function<void(const TempDir &)> prepare;
    const char *message;
  };
  const Case cases[] = {
      {"document", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_ALLOC, 1); },
       "out of memory"},
      {"text not valid UTF-8",
       [](const TempDir &) {
         clip_entry &e = g_store.entries[0];
         e.text[0] = '\xff';
       },
       "failed to serialize clips.json"},
      {"open", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_OPEN, 1); },
       "failed to open clips.json.tmp: Permission denied"},
      {"tmp is a directory",
       [](const TempDir &d) { mkdir(d.file("clips.json.tmp").c_str(), 0700); },
       "failed to open clips.json.tmp: Is a directory"},
      {"write", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_WRITE, 1); },
       "failed to write clips.json.tmp"},
      {"fsync", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_SYNC, 1); },
       "failed to write clips.json.tmp"},
      {"close", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_CLOSE, 1); },
       "failed to close clips.json.tmp"},
      {"rename", [](const TempDir &) { clip_fault_arm(CLIP_FAULT_RENAME, 1); },
       "atomic rename failed: Input/output error"},
  };
  const unsigned char png[] = {1, 2, 3};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    ASSERT_EQ(clip_init(d.path().c_str()), 1);
    ASSERT_EQ(take(clip_push_text("text")), R"({"id":1,"dedup":0})");
    ASSERT_EQ(take(clip_push_image(png, 3, "label")), R"({"id":2})");
    c.prepare(d);
    const std::string files = dir_state(d.path());
    const std::string list = describe(g_store);

    EXPECT_FALSE(clip_store_save(&g_store));
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(dir_state(d.path()), files);
    EXPECT_EQ(describe(g_store), list);
  }
}

// Whichever allocation of a save fails, the save reports it and writes
// nothing (a serialiser's failed allocation may show as a failed serialisation).
TEST_F(StoreFilesTest, SaveWritesNothingWhenAnyAllocationFails) {
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  for (const char *text : {"one", "two \"quoted\"", "three é"}) {
    ASSERT_NE(take(clip_push_text(text)), "<null>");
  }
  const unsigned char png[] = {1, 2, 3};
  ASSERT_NE(take(clip_push_image(png, 3, "label")), "<null>");
  const std::string files = dir_state(dir_.path());
  const std::string list = describe(g_store);

  std::set<std::string> messages;
  int saved = 0;
  for (long nth = 1; nth < 1000 && !saved; ++nth) {
    SCOPED_TRACE(nth);
    clip_fault_arm(CLIP_FAULT_ALLOC, nth);
    saved = clip_store_save(&g_store);
    clip_fault_reset();
    if (!saved) messages.insert(last_error());
    EXPECT_EQ(dir_state(dir_.path()), files);
    EXPECT_EQ(describe(g_store), list);
  }
  EXPECT_EQ(saved, 1);
  ASSERT_FALSE(messages.empty());
  messages.erase("failed to serialize clips.json");
  EXPECT_EQ(messages, std::set<std::string>{"out of memory"});
  EXPECT_EQ(dir_state(dir_.path()), files);  // the same list, the same bytes
}

TEST_F(StoreFilesTest, LeftoverIndexTmpIsIgnoredThenReplaced) {
  write_file(index_path(), kFresh);
  write_file(dir_.file("clips.json.tmp"), std::string(500, '{'));
  ASSERT_EQ(chmod(dir_.file("clips.json.tmp").c_str(), 0644), 0);
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(dir_state(dir_.path()),
            "clips.json=" + kFresh + "\nclips.json.tmp=" + std::string(500, '{'));

  ASSERT_EQ(take(clip_push_text("x")), R"({"id":1,"dedup":0})");
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});
  EXPECT_EQ(mode_of(index_path()), 0600u);  // not the leftover's 0644
  EXPECT_EQ(take(clip_get(1)), "x");
}

// ---------------------------------------------------------------------------
// Loading the index

enum Outcome { KEPT, REWRITTEN, SET_ASIDE };

TEST_F(StoreFilesTest, LoadRules) {
  struct Case {
    const char *name;
    std::string index;
    const char *loaded;
    Outcome outcome;
  };
  const Case cases[] = {
      // next_id
      {"next_id 7", R"({"next_id":7,"clips":[]})", "next 7", KEPT},
      {"next_id 0", R"({"next_id":0,"clips":[]})", "next 1", KEPT},
      {"next_id -5", R"({"next_id":-5,"clips":[]})", "next 1", KEPT},
      {"next_id 2.5", R"({"next_id":2.5,"clips":[]})", "next 1", KEPT},
      {"next_id 1e2", R"({"next_id":1e2,"clips":[]})", "next 1", KEPT},
      {"next_id string", R"({"next_id":"7","clips":[]})", "next 1", KEPT},
      {"next_id null", R"({"next_id":null,"clips":[]})", "next 1", KEPT},
      {"next_id missing", R"({"clips":[]})", "next 1", KEPT},
      {"next_id 2^32+1", R"({"next_id":4294967297,"clips":[]})", "next 1", KEPT},
      {"next_id 2^32+7", R"({"next_id":4294967303,"clips":[]})", "next 7", KEPT},
      {"next_id INT_MAX", R"({"next_id":2147483647,"clips":[]})", "next 2147483647",
       KEPT},
      {"next_id 2^31", R"({"next_id":2147483648,"clips":[]})", "next 1", KEPT},
      {"next_id beyond 64 bits", R"({"next_id":99999999999999999999,"clips":[]})",
       "next 1", KEPT},
      {"next_id twice", R"({"next_id":5,"next_id":9,"clips":[]})", "next 5", KEPT},
      {"next_id after clips", R"({"clips":[],"next_id":4})", "next 4", KEPT},
      // whole entries
      {"every field of a text",
       R"({"next_id":2,"clips":[{"id":1,"ts":1700000000,"kind":"text","preview":"p",)"
       R"("pinned":true,"hash":"0123456789abcdef","truncated":true,"text":"t\n\"é\""}]})",
       "next 2 | 1 text ts=1700000000 pin=1 trunc=1 hash='0123456789abcdef' preview='p' "
       "text='t\n\"é\"'",
       KEPT},
      {"every field of an image",
       R"({"next_id":3,"clips":[{"id":2,"ts":5,"kind":"image","preview":"[image 3 bytes: x]",)"
       R"("pinned":false,"hash":"00000000000000ff","truncated":false,"label":"x"}]})",
       "next 3 | 2 image ts=5 hash='00000000000000ff' preview='[image 3 bytes: x]' "
       "label='x'",
       KEPT},
      {"least entries", R"({"clips":[{"id":1,"kind":"text"},{"id":2,"kind":"image"}]})",
       "next 3 | 1 text | 2 image", KEPT},
      {"elements that are not objects",
       R"({"next_id":3,"clips":[1,"s",[],null,true,{"id":2,"kind":"text","text":"b"},)"
       R"([{"id":9}]]})",
       "next 3 | 2 text text='b'", KEPT},
      // A next_id at or below a loaded id rises above the largest one, to
      // INT_MAX at most (which refuses further captures).
      {"next_id below an id",
       R"({"next_id":1,"clips":[{"id":5,"kind":"image"},{"id":3,"kind":"text"}]})",
       "next 6 | 5 image | 3 text", KEPT},
      {"next_id equal to an id", R"({"next_id":4,"clips":[{"id":4,"kind":"text"}]})",
       "next 5 | 4 text", KEPT},
      {"id INT_MAX", R"({"next_id":7,"clips":[{"id":2147483647,"kind":"text"}]})",
       "next 2147483647 | 2147483647 text", KEPT},
      {"id INT_MAX - 1", R"({"next_id":7,"clips":[{"id":2147483646,"kind":"text"}]})",
       "next 2147483647 | 2147483646 text", KEPT},
      {"entries in list order, ids as they are",
       R"({"next_id":2,"clips":[{"id":9,"kind":"text"},{"id":-3,"kind":"text"},)"
       R"({"id":0,"kind":"text"},{"id":4294967298,"kind":"text"},)"
       R"({"id":2147483648,"kind":"text"}]})",
       "next 10 | 9 text | -3 text | 0 text | 2 text | -2147483648 text", KEPT},
      {"repeated id",
       R"({"clips":[{"id":4,"kind":"text","text":"a"},{"id":4,"kind":"image"}]})",
       "next 5 | 4 text text='a' | 4 image", KEPT},
      {"repeated keys: the first counts",
       R"({"clips":[{"id":1,"id":2,"kind":"image","kind":"text","label":"a","label":"b"}]})",
       "next 2 | 1 image label='a'", KEPT},
      // fields
      {"pinned",
       R"({"clips":[{"id":1,"kind":"text","pinned":2},)"
       R"({"id":2,"kind":"text","pinned":"yes"},)"
       R"({"id":3,"kind":"text","pinned":true},{"id":4,"kind":"text","pinned":false},)"
       R"({"id":5,"kind":"text","pinned":4294967296},{"id":6,"kind":"text","pinned":-1},)"
       R"({"id":7,"kind":"text","pinned":1.0},{"id":8,"kind":"text","pinned":null}]})",
       "next 9 | 1 text pin=1 | 2 text | 3 text pin=1 | 4 text | 5 text | "
       "6 text pin=1 | 7 text | 8 text",
       KEPT},
      {"truncated",
       R"({"clips":[{"id":1,"kind":"text","truncated":2},)"
       R"({"id":2,"kind":"text","truncated":"yes"},)"
       R"({"id":3,"kind":"text","truncated":true},)"
       R"({"id":4,"kind":"text","truncated":4294967296}]})",
       "next 5 | 1 text trunc=1 | 2 text | 3 text trunc=1 | 4 text", KEPT},
      {"ts",
       R"({"clips":[{"id":1,"kind":"text","ts":-1},{"id":2,"kind":"text","ts":1.5},)"
       R"({"id":3,"kind":"text","ts":"5"},)"
       R"({"id":4,"kind":"text","ts":9223372036854775807},)"
       R"({"id":5,"kind":"text","ts":-9223372036854775808}]})",
       "next 6 | 1 text ts=-1 | 2 text | 3 text | 4 text ts=9223372036854775807 | "
       "5 text ts=-9223372036854775808",
       KEPT},
      {"hash",
       R"({"clips":[{"id":1,"kind":"text","hash":"abcdefghijklmnopqrst"},)"
       R"({"id":2,"kind":"text","hash":"aaaaaaaaaaaaaa😀"},)"
       R"({"id":3,"kind":"text","hash":"aaaaaaaaaaaaaaaé"},)"
       R"({"id":4,"kind":"text","hash":5},{"id":5,"kind":"text","hash":"abc"},)"
       R"({"id":6,"kind":"text","hash":"0123456789abcdef"},)"
       R"({"id":7,"kind":"text","hash":"ab\u0000cd"}]})",
       "next 8 | 1 text hash='abcdefghijklmnop' | 2 text hash='aaaaaaaaaaaaaa' | "
       "3 text hash='aaaaaaaaaaaaaaa' | 4 text | 5 text hash='abc' | "
       "6 text hash='0123456789abcdef' | 7 text hash='ab'",
       KEPT},
      {"text",
       R"({"clips":[{"id":1,"kind":"text","text":5},{"id":2,"kind":"text","text":null},)"
       R"({"id":3,"kind":"text","text":"a\u0000b"},)"
       R"({"id":4,"kind":"text","text":"\u00e9\ud83d\ude00\/"},)"
       R"({"id":5,"kind":"image","text":"x"},{"id":6,"kind":"text","label":"x"}]})",
       "next 7 | 1 text | 2 text | 3 text text='a' | 4 text text='é😀/' | "
       "5 image | 6 text",
       KEPT},
      {"preview",
       R"({"clips":[{"id":1,"kind":"text","preview":5},)"
       R"({"id":2,"kind":"image","preview":"p\u0000q"}]})",
       "next 3 | 1 text | 2 image preview='p'", KEPT},
      {"label",
       R"({"clips":[{"id":1,"kind":"image","label":null},)"
       R"({"id":2,"kind":"image","label":""},)"
       R"({"id":3,"kind":"image","label":7},)"
       R"({"id":4,"kind":"image","label":"a\u0000b"}]})",
       "next 5 | 1 image | 2 image label='' | 3 image | 4 image label='a'", KEPT},
      // no index at all
      {"empty file", "", "next 1", REWRITTEN},
      // damaged
      {"array root", "[]", "next 1", SET_ASIDE},
      {"empty object", "{}", "next 1", SET_ASIDE},
      {"null root", "null", "next 1", SET_ASIDE},
      {"number root", "5", "next 1", SET_ASIDE},
      {"blank", "   \n", "next 1", SET_ASIDE},
      {"cut short", R"({"next_id":1,"clips":[)", "next 1", SET_ASIDE},
      {"trailing comma", R"({"next_id":1,"clips":[],})", "next 1", SET_ASIDE},
      {"comment", R"({"clips":[] /* c */})", "next 1", SET_ASIDE},
      {"NaN", R"({"next_id":NaN,"clips":[]})", "next 1", SET_ASIDE},
      {"text after the root", R"({"clips":[]} {})", "next 1", SET_ASIDE},
      {"NUL after the root", std::string("{\"clips\":[]}\0", 13), "next 1", SET_ASIDE},
      {"byte-order mark", "\xEF\xBB\xBF{\"clips\":[]}", "next 1", SET_ASIDE},
      {"invalid UTF-8", "{\"clips\":[{\"id\":1,\"kind\":\"text\",\"text\":\"\xff\"}]}",
       "next 1", SET_ASIDE},
      {"lone surrogate", R"({"clips":[{"id":1,"kind":"text","text":"\ud800"}]})",
       "next 1", SET_ASIDE},
      {"no clips", R"({"next_id":1})", "next 1", SET_ASIDE},
      {"clips an object", R"({"clips":{}})", "next 1", SET_ASIDE},
      {"clips null", R"({"clips":null})", "next 1", SET_ASIDE},
      {"first clips not an array", R"({"clips":1,"clips":[]})", "next 1", SET_ASIDE},
      {"no id", R"({"clips":[{"kind":"text"}]})", "next 1", SET_ASIDE},
      {"id 1.0", R"({"clips":[{"id":1.0,"kind":"text"}]})", "next 1", SET_ASIDE},
      {"id string", R"({"clips":[{"id":"1","kind":"text"}]})", "next 1", SET_ASIDE},
      {"no kind", R"({"clips":[{"id":1}]})", "next 1", SET_ASIDE},
      {"kind file", R"({"clips":[{"id":1,"kind":"file"}]})", "next 1", SET_ASIDE},
      {"kind Text", R"({"clips":[{"id":1,"kind":"Text"}]})", "next 1", SET_ASIDE},
      {"kind 0", R"({"clips":[{"id":1,"kind":0}]})", "next 1", SET_ASIDE},
      {"good entries before a bad one",
       R"({"next_id":9,"clips":[{"id":1,"kind":"text","text":"a"},"skip",{"id":2}]})",
       "next 1", SET_ASIDE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    write_file(d.file("clips.json"), c.index);
    long before = static_cast<long>(time(nullptr));
    clip_set_error("earlier");
    ASSERT_EQ(clip_init(d.path().c_str()), 1) << clip_last_error();
    long after = static_cast<long>(time(nullptr));
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(describe(g_store), c.loaded);
    switch (c.outcome) {
      case KEPT:
        EXPECT_EQ(dir_state(d.path()), "clips.json=" + c.index);
        break;
      case REWRITTEN:
        EXPECT_EQ(dir_state(d.path()), "clips.json=" + kFresh);
        break;
      case SET_ASIDE: {
        EXPECT_EQ(dir_state(d.path()),
                  "clips.json=" + kFresh + "\nclips.json.corrupt.<s>=" + c.index);
        std::vector<std::string> names = list_dir(d.path());
        long seconds = names.size() == 2 ? aside_seconds(names[1]) : -1;
        EXPECT_GE(seconds, before);
        EXPECT_LE(seconds, after);
        break;
      }
    }
  }
}

// A history that starts afresh (no index, or a damaged one set aside) takes
// ids above the image files left in the directory: a new image clip never
// replaces a file that recovery could still bring back.
TEST_F(StoreFilesTest, AFreshHistoryStartsAboveLeftoverImages) {
  struct Case {
    const char *name;
    const char *index;  // null: no index file
    std::vector<std::string> files;
    int next;
  } cases[] = {
      {"damaged index", "{oops", {"img_3.png", "img_12.png"}, 13},
      {"no index", nullptr, {"img_5.png"}, 6},
      {"empty index", "", {"img_2.png"}, 3},
      {"only names that are not image files", "{oops",
       {"img_0.png", "img_012.png", "img_9.png.tmp", "img_x.png", "img_7.PNG",
        "img_-4.png", "img_99999999999.png", "img_8.png.bak"},
       1},
      {"the largest id", "[]", {"img_2147483647.png"}, INT_MAX},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    if (c.index != nullptr) write_file(d.file("clips.json"), c.index);
    for (const std::string &f : c.files) write_file(d.file(f), "old " + f);
    ASSERT_EQ(clip_init(d.path().c_str()), 1) << clip_last_error();
    EXPECT_EQ(describe(g_store), "next " + std::to_string(c.next));
    if (c.next == INT_MAX) continue;
    EXPECT_EQ(push_image(png_of(1)), c.next);
    // Every leftover above the new clip's id keeps its bytes, and a restart
    // keeps the count going.
    for (const std::string &f : c.files) {
      if (f != "img_" + std::to_string(c.next) + ".png") {
        EXPECT_EQ(read_file(d.file(f)), "old " + f);
      }
    }
    ASSERT_EQ(clip_init(d.path().c_str()), 1);
    EXPECT_EQ(g_store.next_id, c.next + 1);
  }
}

TEST_F(StoreFilesTest, LookupsFindTheFirstOfARepeatedId) {
  write_file(index_path(),
             R"({"next_id":5,"clips":[{"id":4,"kind":"text","text":"first"},)"
             R"({"id":4,"kind":"text","text":"second"}]})");
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(take(clip_get(4)), "first");
  ASSERT_EQ(clip_delete(4), 1);
  EXPECT_EQ(take(clip_get(4)), "second");
}

TEST_F(StoreFilesTest, SetAsideNeverReplacesAnEarlierOne) {
  // Two recoveries, most likely within one second: both damaged files stay.
  for (const char *damaged : {"{first", "{second"}) {
    write_file(index_path(), damaged);
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  }
  std::multiset<std::string> kept;
  for (const std::string &name : list_dir(dir_.path())) {
    if (name == "clips.json") continue;
    EXPECT_GE(aside_seconds(name), 0) << name;
    kept.insert(read_file(dir_.file(name)));
  }
  EXPECT_EQ(kept, (std::multiset<std::string>{"{first", "{second"}));

  // Every second this test can run in already has a set-aside index: the
  // new ones take a numbered name beside them.
  TempDir d;
  long now = static_cast<long>(time(nullptr));
  for (long t = now - 1; t <= now + 60; ++t) {
    write_file(d.file(kCorrupt + std::to_string(t)), "earlier " + std::to_string(t));
  }
  for (const char *damaged : {"{first", "{second"}) {
    write_file(d.file("clips.json"), damaged);
    ASSERT_EQ(clip_init(d.path().c_str()), 1);
  }
  std::multiset<std::string> added;
  for (const std::string &name : list_dir(d.path())) {
    if (name == "clips.json") continue;
    long t = aside_seconds(name);
    ASSERT_GE(t, now - 1) << name;
    ASSERT_LE(t, now + 60) << name;
    std::string plain = kCorrupt + std::to_string(t);
    if (name == plain) {
      EXPECT_EQ(read_file(d.file(name)), "earlier " + std::to_string(t));
    } else {
      EXPECT_TRUE(name == plain + ".1" || name == plain + ".2") << name;
      added.insert(read_file(d.file(name)));
    }
  }
  EXPECT_EQ(added, (std::multiset<std::string>{"{first", "{second"}));
}

TEST_F(StoreFilesTest, LoadFailures) {
  const std::string good = R"({"next_id":3,"clips":[{"id":1,"kind":"text","text":"a"},)"
                           R"({"id":2,"kind":"image"}]})";
  struct Case {
    const char *name;
    const char *index;  // null: no index file
    std::function<void(const TempDir &)> prepare;
    std::string (*message)(const TempDir &);
    const char *after;  // the directory afterwards; null: as it was
  };
  const Case cases[] = {
      {"open", good.c_str(), [](const TempDir &) { clip_fault_arm(CLIP_FAULT_OPEN, 1); },
       [](const TempDir &) {
         return std::string("failed to open clips.json: Permission denied");
       },
       nullptr},
      {"index is a directory", nullptr,
       [](const TempDir &d) { mkdir(d.file("clips.json").c_str(), 0700); },
       [](const TempDir &d) {
         return "clips.json is not a regular file: " + d.file("clips.json");
       },
       nullptr},
      {"index is a FIFO", nullptr,
       [](const TempDir &d) { mkfifo(d.file("clips.json").c_str(), 0600); },
       [](const TempDir &d) {
         return "clips.json is not a regular file: " + d.file("clips.json");
       },
       nullptr},
      // The directory's stat comes first, then the index's size.
      {"size", good.c_str(), [](const TempDir &) { clip_fault_arm(CLIP_FAULT_STAT, 2); },
       [](const TempDir &) { return std::string("failed to read clips.json: Input/output error"); },
       nullptr},
      {"buffer", good.c_str(),
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_ALLOC, 1); },
       [](const TempDir &) { return std::string("out of memory"); }, nullptr},
      {"read", good.c_str(), [](const TempDir &) { clip_fault_arm(CLIP_FAULT_READ, 1); },
       [](const TempDir &) {
         return std::string("failed to read clips.json: Input/output error");
       },
       nullptr},
      {"no index, fresh one not written", nullptr,
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_WRITE, 1); },
       [](const TempDir &) { return std::string("failed to write clips.json.tmp"); },
       nullptr},
      {"damaged index, directory not read", "{oops",
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_OPENDIR, 1); },
       [](const TempDir &) { return std::string("opendir failed: Input/output error"); },
       nullptr},
      {"empty index, fresh one not renamed", "",
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_RENAME, 1); },
       [](const TempDir &) {
         return std::string("atomic rename failed: Input/output error");
       },
       nullptr},
      {"damaged index cannot be set aside", "{oops",
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_RENAME, 1); },
       [](const TempDir &) {
         return std::string("cannot set damaged clips.json aside: Input/output error");
       },
       nullptr},
      {"damaged index set aside, fresh one not written", "{oops",
       [](const TempDir &) { clip_fault_arm(CLIP_FAULT_WRITE, 1); },
       [](const TempDir &) {
         return std::string("corrupt index recovered but save failed");
       },
       "clips.json.corrupt.<s>={oops"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    if (c.index != nullptr) write_file(d.file("clips.json"), c.index);
    // An earlier store was open; the failed init leaves nothing of it.
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
    ASSERT_NE(take(clip_push_text(c.name)), "<null>");
    c.prepare(d);
    const std::string before = dir_state(d.path());

    EXPECT_EQ(clip_init(d.path().c_str()), 0);
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message(d));
    EXPECT_EQ(dir_state(d.path()), c.after ? c.after : before);
    EXPECT_EQ(describe(g_store), "next 1");
    EXPECT_EQ(g_store.initialized, 0);
  }
}

TEST_F(StoreFilesTest, LoadRunningOutOfMemoryLeavesTheIndexInPlace) {
  const std::string index =
      R"({"next_id":4,"clips":[{"id":1,"kind":"text","preview":"a","text":"a"},)"
      R"({"id":2,"kind":"image","preview":"[image 1 bytes: l]","label":"l"},)"
      R"({"id":3,"kind":"image","preview":"[image 2 bytes]"}]})";
  write_file(index_path(), index);
  int loaded = 0;
  long nth = 1;
  for (; nth < 1000 && !loaded; ++nth) {
    SCOPED_TRACE(nth);
    clip_fault_arm(CLIP_FAULT_ALLOC, nth);
    loaded = clip_init(dir_.path().c_str());
    clip_fault_reset();
    if (loaded) break;
    EXPECT_EQ(last_error(), "out of memory");
    EXPECT_EQ(dir_state(dir_.path()), "clips.json=" + index);
    EXPECT_EQ(describe(g_store), "next 1");
    EXPECT_EQ(g_store.initialized, 0);
  }
  ASSERT_EQ(loaded, 1);
  EXPECT_GT(nth, 4);  // the buffer, the parser, the copies and the array all failed once
  EXPECT_EQ(describe(g_store),
            "next 4 | 1 text preview='a' text='a' | 2 image preview='[image 1 bytes: l]' "
            "label='l' | 3 image preview='[image 2 bytes]'");
  EXPECT_EQ(dir_state(dir_.path()), "clips.json=" + index);
}

}  // namespace
