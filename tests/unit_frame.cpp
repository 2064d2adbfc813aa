// The frame every export shares: the last-error message, the "not initialized"
// guard, result strings, and clip_init with its failures and re-opening.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "clip_error.h"
#include "clip_fault.h"
#include "clip_json.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

bool is_all_zero(const void *p, size_t n) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// Taken while the program starts, before any test has called the library.
const char *const kErrorAtLoad = clip_last_error();
const bool kStoreZeroAtLoad = is_all_zero(&g_store, sizeof g_store);

const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override { clip_fault_reset(); }
  void TearDown() override { clip_fault_reset(); }
  TempDir dir_;
};

TEST_F(FrameTest, NothingRunsBeforeTheFirstCall) {
  ASSERT_NE(kErrorAtLoad, nullptr);
  EXPECT_STREQ(kErrorAtLoad, "");
  EXPECT_TRUE(kStoreZeroAtLoad);
}

// A real failure leaves a message; the next export starts from an empty one,
// whether it then succeeds or fails for a reason of its own.
TEST_F(FrameTest, EveryExportEmptiesTheMessageFirst) {
  struct Call {
    const char *name;
    std::function<bool()> run;  // true when the call succeeded
  };
  const Call calls[] = {
      {"clip_init", [&] { return clip_init(dir_.path().c_str()) == 1; }},
      {"clip_push_text", [] { return take(clip_push_text("new")) != "<null>"; }},
      {"clip_push_text dedup", [] { return take(clip_push_text("old")) != "<null>"; }},
      {"clip_push_image",
       [] { return take(clip_push_image(kPng, sizeof kPng, "l")) != "<null>"; }},
      {"clip_list", [] { return take(clip_list(0, 0)) != "<null>"; }},
      {"clip_get", [] { return take(clip_get(1)) == "old"; }},
      {"clip_search", [] { return take(clip_search("ol", 0)) != "<null>"; }},
      {"clip_pin", [] { return clip_pin(1, 1) == 1; }},
      {"clip_delete", [] { return clip_delete(1) == 1; }},
      {"clip_wipe", [] { return clip_wipe() == 1; }},
  };
  for (const Call &c : calls) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
    ASSERT_EQ(clip_wipe(), 1);
    ASSERT_EQ(take(clip_push_text("old")), R"({"id":1,"dedup":0})");

    EXPECT_EQ(take(clip_get(99)), "<null>");
    ASSERT_EQ(last_error(), "clip id 99 not found");
    EXPECT_TRUE(c.run());
    EXPECT_EQ(last_error(), "");

    // A later failure replaces the message rather than adding to it.
    EXPECT_EQ(take(clip_get(98)), "<null>");
    EXPECT_EQ(clip_pin(97, 1), 0);
    EXPECT_EQ(last_error(), "clip id 97 not found");
  }
}

TEST_F(FrameTest, LastErrorAndFreeStringLeaveTheMessage) {
  ASSERT_EQ(clip_init(nullptr), 0);
  clip_free_string(nullptr);
  clip_free_string(strdup("a result"));
  const char *first = clip_last_error();
  EXPECT_STREQ(clip_last_error(), "store_dir is NULL");
  EXPECT_EQ(first, clip_last_error());  // the library's own buffer, not a copy
}

TEST_F(FrameTest, MessageIsCutAfter511Bytes) {
  struct Case {
    size_t len;
    size_t kept;
  };
  const Case cases[] = {{0, 0}, {510, 510}, {511, 511}, {512, 511}, {5000, 511}};
  for (const Case &c : cases) {
    std::string msg;
    for (size_t i = 0; i < c.len; ++i) msg += static_cast<char>('a' + i % 26);
    clip_set_error("%s", msg.c_str());
    EXPECT_EQ(last_error(), msg.substr(0, c.kept)) << c.len;
  }

  // The same through an export whose message carries a long path.
  std::string path = dir_.path();
  for (char c : {'d', 'e'}) {
    path += "/" + std::string(200, c);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  path += "/" + std::string(200, 'f');
  write_file(path, "a file");
  std::string full = "store_dir is not a directory: " + path;
  ASSERT_GT(full.size(), 511u);
  EXPECT_EQ(clip_init(path.c_str()), 0);
  EXPECT_EQ(last_error(), full.substr(0, 511));
}

TEST_F(FrameTest, ResultThatCannotBeMadeIsNullAndTheCallerSaysWhy) {
  EXPECT_EQ(take(clip_json_printf("{\"id\":%d,\"dedup\":%d}", INT32_MIN, 1)),
            "{\"id\":-2147483648,\"dedup\":1}");

  // clip_json_printf itself says nothing, whether the block cannot be had or the
  // format cannot be rendered (a wide character the C locale cannot encode).
  const wchar_t unencodable[] = {0x100, 0};
  clip_set_error("earlier");
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(clip_json_printf("%d", 1), nullptr);
  EXPECT_TRUE(clip_fault_fired());
  clip_fault_reset();
#if !defined(_WIN32)  // Windows' C runtime renders any wide character
  EXPECT_EQ(clip_json_printf("%ls", unencodable), nullptr);
#else
  static_cast<void>(unencodable);
#endif
  EXPECT_EQ(last_error(), "earlier");

  // A repeated capture allocates only its answer: when that fails the export
  // reports it, and nothing else has changed.
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  ASSERT_EQ(take(clip_push_text("same")), R"({"id":1,"dedup":0})");
  const std::string index = read_file(dir_.file("clips.json"));
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(clip_push_text("same"), nullptr);
  EXPECT_TRUE(clip_fault_fired());
  EXPECT_EQ(last_error(), "out of memory");
  EXPECT_EQ(ids(), std::vector<int>{1});
  EXPECT_EQ(g_store.next_id, 2);
  EXPECT_EQ(read_file(dir_.file("clips.json")), index);
}

TEST_F(FrameTest, GuardedExportsRefuseUntilInitSucceeds) {
  // An earlier store works; a failed clip_init on another directory leaves
  // the library not initialised, whatever the earlier one had.
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  ASSERT_EQ(take(clip_push_text("earlier")), R"({"id":1,"dedup":0})");
  TempDir other;
  ASSERT_EQ(mkdir(other.file("clips.json").c_str(), 0700), 0);
  write_file(other.file("keep.txt"), "keep");
  write_file(other.file("img_1.png"), "png");
  ASSERT_EQ(clip_init(other.path().c_str()), 0);
  EXPECT_EQ(last_error(),
            "clips.json is not a regular file: " + other.file("clips.json"));
  EXPECT_EQ(g_store.initialized, 0);
  EXPECT_EQ(g_store.count, 0);
  EXPECT_EQ(std::string(g_store.store_dir), other.path());
  const std::string earlier_index = read_file(dir_.file("clips.json"));

  struct Call {
    const char *name;
    std::function<bool()> refused;
  };
  const Call calls[] = {
      {"clip_push_text null", [] { return clip_push_text(nullptr) == nullptr; }},
      {"clip_push_text", [] { return clip_push_text("x") == nullptr; }},
      {"clip_push_image null",
       [] { return clip_push_image(nullptr, 0, nullptr) == nullptr; }},
      {"clip_push_image",
       [] { return clip_push_image(kPng, sizeof kPng, "l") == nullptr; }},
      {"clip_list", [] { return clip_list(0, 0) == nullptr; }},
      {"clip_list negative", [] { return clip_list(-1, -1) == nullptr; }},
      {"clip_get", [] { return clip_get(1) == nullptr; }},
      {"clip_search null", [] { return clip_search(nullptr, 0) == nullptr; }},
      {"clip_search", [] { return clip_search("e", 5) == nullptr; }},
      {"clip_pin", [] { return clip_pin(1, 1) == 0; }},
      {"clip_pin unknown", [] { return clip_pin(-7, 0) == 0; }},
      {"clip_delete", [] { return clip_delete(1) == 0; }},
      {"clip_wipe", [] { return clip_wipe() == 0; }},
  };
  for (const Call &c : calls) {
    SCOPED_TRACE(c.name);
    clip_set_error("earlier");
    EXPECT_TRUE(c.refused());
    EXPECT_EQ(last_error(), "not initialized");
  }
  // Nothing was written, deleted or taken into memory.
  EXPECT_EQ(list_dir(other.path()),
            (std::vector<std::string>{"clips.json", "img_1.png", "keep.txt"}));
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});
  EXPECT_EQ(read_file(dir_.file("clips.json")), earlier_index);
  EXPECT_EQ(g_store.count, 0);
  EXPECT_EQ(g_store.next_id, 1);
  EXPECT_EQ(g_store.initialized, 0);
}

TEST_F(FrameTest, NullOrEmptyDirKeepsTheOpenStoreWorking) {
  struct Case {
    const char *dir;
    const char *message;
  };
  const Case cases[] = {{nullptr, "store_dir is NULL"}, {"", "store_dir is empty"}};
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  ASSERT_EQ(take(clip_push_text("kept")), R"({"id":1,"dedup":0})");
  int next = 2;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(clip_init(c.dir), 0);
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(g_store.initialized, 1);
    EXPECT_EQ(std::string(g_store.store_dir), dir_.path());
    EXPECT_EQ(take(clip_get(1)), "kept");
    std::string text = "after " + std::to_string(next);
    EXPECT_EQ(take(clip_push_text(text.c_str())),
              "{\"id\":" + std::to_string(next) + ",\"dedup\":0}");
    EXPECT_NE(read_file(dir_.file("clips.json")).find(text), std::string::npos);
    ++next;
  }
}

TEST_F(FrameTest, LongPathIsWorkedOnAsItsFirst4095Characters) {
  SKIP_ON_WINDOWS("the limit on a path it reaches is Linux's 4096 bytes");
  // Components of about 250 characters until the path is 5000 long; the cut
  // at 4095 falls inside a component, whose parents exist.
  std::string path;
  for (size_t part = 250; path.empty() || path[4094] == '/' || path[4095] == '/';
       --part) {
    path = dir_.path();
    while (path.size() < 5000) {
      char letter = static_cast<char>('a' + path.size() % 26);
      path += '/';
      path.append(part, letter);
    }
  }
  path.resize(5000);
  const std::string cut = path.substr(0, 4095);
  const std::string parent = cut.substr(0, cut.rfind('/'));
  for (size_t slash = dir_.path().size() + 1; slash <= parent.size(); ++slash) {
    if (slash == parent.size() || parent[slash] == '/') {
      ASSERT_EQ(mkdir(parent.substr(0, slash).c_str(), 0700), 0);
    }
  }

  // The cut directory is made; its index path then passes the platform's
  // 4096-byte limit on a path, which the load reports.
  EXPECT_EQ(clip_init(path.c_str()), 0);
  EXPECT_EQ(last_error(), "failed to open clips.json: File name too long");
  EXPECT_EQ(std::string(g_store.store_dir), cut);
  EXPECT_EQ(g_store.initialized, 0);
  struct stat st;
  ASSERT_EQ(stat(cut.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(list_dir(parent), std::vector<std::string>{cut.substr(parent.size() + 1)});
}

TEST_F(FrameTest, ReinitReloadsTheIndexAndGoesOnFromItsNextId) {
  seed_history(dir_.path(), {text_clip(7, "seven"), text_clip(3, "three")}, 42);
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(ids(), (std::vector<int>{7, 3}));
  EXPECT_EQ(take(clip_push_text("new")), R"({"id":42,"dedup":0})");

  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(ids(), (std::vector<int>{7, 3, 42}));
  EXPECT_EQ(take(clip_get(3)), "three");
  EXPECT_EQ(take(clip_push_text("newer")), R"({"id":43,"dedup":0})");

  // Another directory: its own list, its own ids.
  TempDir other;
  ASSERT_EQ(clip_init(other.path().c_str()), 1);
  EXPECT_EQ(ids(), std::vector<int>{});
  EXPECT_EQ(take(clip_push_text("elsewhere")), R"({"id":1,"dedup":0})");
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(ids(), (std::vector<int>{7, 3, 42, 43}));
}

TEST_F(FrameTest, FailedInitLeavesTheLibraryUninitialised) {
  struct Case {
    const char *name;
    std::string (*prepare)(const TempDir &);  // returns the path to open
    std::string (*message)(const std::string &path);
  };
  const Case cases[] = {
      {"path is a file",
       [](const TempDir &d) {
         write_file(d.file("f"), "x");
         return d.file("f");
       },
       [](const std::string &p) { return "store_dir is not a directory: " + p; }},
      {"parent missing", [](const TempDir &d) { return d.file("no/store"); },
       [](const std::string &p) {
         return "mkdir failed: " + p + " (" + error_text(ENOENT) + ")";
       }},
      {"fresh index cannot be written",
       [](const TempDir &d) {
         mkdir(d.file("clips.json.tmp").c_str(), 0700);
         return d.path();
       },
       [](const std::string &) -> std::string {
         return "failed to open clips.json.tmp: Is a directory";
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
    ASSERT_EQ(take(clip_push_text("before")), R"({"id":1,"dedup":0})");
    std::string path = c.prepare(d);

    EXPECT_EQ(clip_init(path.c_str()), 0);
    EXPECT_EQ(last_error(), c.message(path));
    EXPECT_EQ(g_store.initialized, 0);
    EXPECT_EQ(g_store.count, 0);
    EXPECT_EQ(std::string(g_store.store_dir), path);
    EXPECT_EQ(clip_list(0, 0), nullptr);
    EXPECT_EQ(last_error(), "not initialized");
    EXPECT_FALSE(file_exists(d.file("clips.json")));
    // The earlier store's files are untouched and open again.
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
    EXPECT_EQ(take(clip_get(1)), "before");
    ASSERT_EQ(clip_wipe(), 1);
  }
}

}  // namespace
