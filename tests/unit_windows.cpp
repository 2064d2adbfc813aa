// What only Windows does to the store: a rename onto an existing file, UTF-8
// paths against the ANSI code page, names that lose their trailing spaces and
// dots, read-only attributes, files held open by another handle, CRLF
// translation, and the system's own error texts.
#include <errno.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

std::wstring wide(const std::string &utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  w.resize(static_cast<size_t>(n) - 1);
  return w;
}

// The names FindFirstFileW sees in a folder, as UTF-8.
std::vector<std::string> wide_names(const std::string &dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((wide(dir) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring n = data.cFileName;
    if (n == L"." || n == L"..") continue;
    names.push_back(utf8_of(std::filesystem::path(n)));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

std::string push(const std::string &text) { return take(clip_push_text(text.c_str())); }

// Holds a file open as another program would, until release() or the end of
// its scope: by default with no sharing at all, as a scanner that locks it.
class Holder {
 public:
  explicit Holder(const std::string &path, DWORD share = 0)
      : h_(CreateFileW(wide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~Holder() { release(); }
  bool holding() const { return h_ != INVALID_HANDLE_VALUE; }
  void release() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

// Releases a Holder from another thread a little after `trigger` appears in
// the store (at once when there is none): the library's temporary file shows
// that its write has begun, so its first rename meets the held file and only
// a later try can succeed. The release comes well within the tries, so the
// outcome does not hang on how fast either thread runs.
struct DelayedRelease {
  Holder *holder;
  std::wstring trigger;
  HANDLE thread = nullptr;

  static DWORD WINAPI run(void *arg) {
    auto *self = static_cast<DelayedRelease *>(arg);
    for (int i = 0; i < 20000 && !self->trigger.empty(); ++i) {
      if (GetFileAttributesW(self->trigger.c_str()) != INVALID_FILE_ATTRIBUTES) break;
      Sleep(0);
    }
    Sleep(40);
    self->holder->release();
    return 0;
  }
  void start() { thread = CreateThread(nullptr, 0, run, this, 0, nullptr); }
  void join() {
    if (thread != nullptr) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
  }
};

// A message's error text is one line without a trailing full stop.
void expect_one_line(const std::string &message) {
  EXPECT_EQ(message.find('\r'), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  ASSERT_FALSE(message.empty());
  EXPECT_NE(message.back(), '.') << message;
  EXPECT_NE(message.back(), ' ') << message;
}

using WindowsStoreTest = StoreTest;

// A rename onto an existing clips.json must replace it: every capture after
// the first one depends on that.
TEST_F(WindowsStoreTest, EveryCaptureReplacesTheIndex) {
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(push("text " + std::to_string(i)),
              "{\"id\":" + std::to_string(i) + ",\"dedup\":0}")
        << last_error();
  }
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});
  reopen();
  EXPECT_EQ(ids(), range(1, 5));
  EXPECT_EQ(take(clip_get(5)), "text 5");
}

// Files are written in binary: a CR, LF or SUB in a text or an image is kept
// as it is, and the index has LF line breaks only, as on Linux.
TEST_F(WindowsStoreTest, FilesAreWrittenWithoutTextModeTranslation) {
  const std::string png("\x89PNG\r\n\x1a\n\n\r\x1a\0end", 15);
  EXPECT_EQ(take(push_png(png, "a\r\nb")), "{\"id\":1}");
  EXPECT_EQ(push("line\r\nbreak\n"), "{\"id\":2,\"dedup\":0}");
  EXPECT_TRUE(read_file(image_path(1)) == png);
  const std::string index_bytes = index();
  EXPECT_EQ(index_bytes.find('\r'), std::string::npos);
  EXPECT_NE(index_bytes.find("\"text\": \"line\\r\\nbreak\\n\""), std::string::npos);
  reopen();
  EXPECT_EQ(take(clip_get(2)), "line\r\nbreak\n");
}

// The image path is the store directory exactly as given, backslashes and
// all, then "/img_<id>.png".
TEST_F(WindowsStoreTest, ImagePathKeepsTheStoreDirectoryAsGiven) {
  std::string backslashed = dir_.path();
  for (char &c : backslashed) {
    if (c == '/') c = '\\';
  }
  ASSERT_EQ(clip_init(backslashed.c_str()), 1) << last_error();
  EXPECT_EQ(take(push_png("png", nullptr)), "{\"id\":1}");
  std::string escaped;
  for (char c : backslashed + "/img_1.png") {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  EXPECT_EQ(take(clip_get(1)), "{\"image_path\":\"" + escaped + "\"}");
  EXPECT_EQ(read_file(backslashed + "/img_1.png"), "png");
}

TEST(WindowsStorePath, Utf8NamesAreTheNamesOnDisk) {
  TempDir parent;
  const std::string store = parent.file("st\xc3\xb6re");  // störe
  ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
  EXPECT_EQ(take(push_png("png bytes", "\xe2\x82\xac")), "{\"id\":1}");
  EXPECT_EQ(push("text"), "{\"id\":2,\"dedup\":0}");

  // One folder, named störe in UTF-16, not its bytes read as ANSI (stÃ¶re).
  EXPECT_EQ(wide_names(parent.path()), std::vector<std::string>{"st\xc3\xb6re"});
  DWORD attrs = GetFileAttributesW(wide(store).c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attrs & FILE_ATTRIBUTE_DIRECTORY, 0u);
  std::vector<std::string> names = wide_names(store);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"clips.json", "img_1.png"}));

  std::string json = take(clip_get(1));
  EXPECT_EQ(json, "{\"image_path\":\"" + store + "/img_1.png\",\"label\":\"\xe2\x82\xac\"}");
  EXPECT_EQ(read_file(store + "/img_1.png"), "png bytes");

  ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
  EXPECT_EQ(ids(), range(1, 2));
  EXPECT_EQ(clip_wipe(), 1) << last_error();
  EXPECT_EQ(wide_names(store), std::vector<std::string>{"clips.json"});
}

// Paths past Windows' classic 260-character limit work: the seam hands them
// to the wide calls in their "\\?\" form.
TEST(WindowsStorePath, PathsPastTheClassicLimitWork) {
  TempDir parent;
  std::string store = parent.path();
  while (store.size() < 400) {
    store += "/" + std::string(60, static_cast<char>('a' + store.size() % 26));
    ASSERT_EQ(clip_init(store.c_str()), 1) << store.size() << ": " << last_error();
  }
  EXPECT_EQ(take(push_png("long way down", nullptr)), "{\"id\":1}") << last_error();
  EXPECT_EQ(push("text"), "{\"id\":2,\"dedup\":0}") << last_error();
  EXPECT_EQ(take(clip_get(1)), "{\"image_path\":\"" + store + "/img_1.png\"}");
  ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
  EXPECT_EQ(ids(), range(1, 2));
  EXPECT_EQ(clip_wipe(), 1) << last_error();
  EXPECT_EQ(ids(), std::vector<int>{});
  ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
  EXPECT_EQ(g_store.count, 0);
}

// Windows drops the spaces and dots at the end of a path's last name, and of
// no other: "store " would make the folder "store", in which "store /
// clips.json" is not found. Such a path is refused before anything is made;
// "." and "..", and a dot inside a name, are what they are everywhere.
TEST(WindowsStorePath, ALastNameEndingInASpaceOrADotIsRefused) {
  const char *const refused[] = {"store ",  "store.",  "store..", "store. ", "store .",
                                 "store /", "store.\\", "store.//", "..."};
  for (const char *name : refused) {
    SCOPED_TRACE(std::string("\"") + name + "\"");
    TempDir parent;
    const std::string store = parent.file(name);
    EXPECT_EQ(clip_init(store.c_str()), 0);
    EXPECT_EQ(last_error(),
              "store_dir ends in a space or a dot, which Windows drops from a name: " + store);
    EXPECT_EQ(wide_names(parent.path()), std::vector<std::string>{});
    EXPECT_EQ(push("not kept"), "<null>");
    EXPECT_EQ(last_error(), "not initialized");
  }

  struct Kept {
    const char *given;
    const char *folder;  // the folder made in the parent
  };
  const Kept kept[] = {
      {"store", "store"},     {"store/", "store"},     {"st.ore", "st.ore"},
      {"store.d", "store.d"}, {"sub/.", "sub"},        {"sub/x/..", "sub"},
      {".store", ".store"},   {"sub\\.\\", "sub"},
  };
  for (const Kept &k : kept) {
    SCOPED_TRACE(k.given);
    TempDir parent;
    const std::string store = parent.file(k.given);
    ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
    EXPECT_EQ(take(push_png("png", nullptr)), "{\"id\":1}") << last_error();
    EXPECT_EQ(read_file(store + "/img_1.png"), "png");
    ASSERT_EQ(clip_init(store.c_str()), 1) << last_error();
    EXPECT_EQ(ids(), std::vector<int>{1});
    EXPECT_EQ(wide_names(parent.path()), std::vector<std::string>{k.folder});
    std::vector<std::string> names = wide_names(parent.file(k.folder));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"clips.json", "img_1.png"}));
  }
}

// A read-only attribute does not keep the library from replacing or removing
// a file of its store, as a file's own mode does not on POSIX.
TEST_F(WindowsStoreTest, ReadOnlyFilesAreReplacedAndRemoved) {
  auto make_read_only = [](const std::string &path) {
    ASSERT_NE(SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_READONLY), 0);
  };
  EXPECT_EQ(take(push_png("one", nullptr)), "{\"id\":1}");
  EXPECT_EQ(take(push_png("two", nullptr)), "{\"id\":2}");
  EXPECT_EQ(push("three"), "{\"id\":3,\"dedup\":0}");
  make_read_only(image_path(1));
  make_read_only(dir_.file("clips.json"));
  write_file(dir_.file("stray.txt"), "stray");
  make_read_only(dir_.file("stray.txt"));

  EXPECT_EQ(push("four"), "{\"id\":4,\"dedup\":0}") << last_error();
  EXPECT_EQ(clip_delete(1), 1) << last_error();
  EXPECT_FALSE(file_exists(image_path(1)));
  reopen();
  EXPECT_EQ(ids(), (std::vector<int>{2, 3, 4}));

  make_read_only(image_path(2));
  make_read_only(dir_.file("clips.json"));
  EXPECT_EQ(clip_wipe(), 1) << last_error();
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});
}

// A file held open for a moment by another program (a scanner, an indexer)
// is waited for: the capture that meets it succeeds.
TEST_F(WindowsStoreTest, AHolderThatLetsGoSoonIsWaitedFor) {
  EXPECT_EQ(push("before"), "{\"id\":1,\"dedup\":0}");
  Holder holder(dir_.file("clips.json"));
  ASSERT_TRUE(holder.holding());
  DelayedRelease later{&holder, wide(dir_.file("clips.json.tmp"))};
  later.start();
  std::string result = push("during");
  later.join();
  EXPECT_EQ(result, "{\"id\":2,\"dedup\":0}") << last_error();
  reopen();
  EXPECT_EQ(ids(), range(1, 2));
}

// clips.json held open by another program when the store is opened is
// waited for as a rename waits for it: the load that meets it succeeds.
TEST_F(WindowsStoreTest, AHolderOfTheIndexThatLetsGoSoonIsWaitedForByTheLoad) {
  EXPECT_EQ(push("before"), "{\"id\":1,\"dedup\":0}");
  const std::string before = index();
  Holder holder(dir_.file("clips.json"));
  ASSERT_TRUE(holder.holding());
  DelayedRelease later{&holder, L""};
  later.start();
  int opened = clip_init(dir_.path().c_str());
  later.join();
  EXPECT_EQ(opened, 1) << last_error();
  EXPECT_EQ(ids(), std::vector<int>{1});
  EXPECT_EQ(index(), before);
}

// A holder that never lets go: the call fails after its few tries with a
// message that says another process holds the file and what it does not
// share, nothing on disk changes, no temporary file is left, and the same call
// once the file is free does its work. Sharing reading and writing but not
// deletion is enough to keep a file from being replaced or set aside.
TEST_F(WindowsStoreTest, AHolderThatNeverLetsGoFailsTheCallAndLosesNothing) {
  constexpr DWORD kReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
  struct Case {
    const char *what;
    DWORD share;                          // what the holder shares
    const char *index;                    // the index on disk first, if not the one written
    int (*call)(const std::string &dir);  // 1 on success
    const char *message;
    int count;  // clips in the store after the same call succeeds
  };
  auto open_store = [](const std::string &dir) { return clip_init(dir.c_str()); };
  const Case cases[] = {
      {"opening the store", 0, nullptr, open_store,
       "failed to open clips.json: another process holds the file open without read sharing",
       1},
      {"replacing the index", 0, nullptr,
       [](const std::string &) {
         static int n = 0;
         return take(clip_push_text(("held " + std::to_string(++n)).c_str())) != "<null>" ? 1
                                                                                        : 0;
       },
       "atomic rename failed: another process holds the file open without delete sharing",
       3},  // the clip held in memory and the next one
      {"replacing the index, reading shared", kReadWrite, nullptr,
       [](const std::string &) { return clip_pin(1, 1); },
       "atomic rename failed: another process holds the file open without delete sharing",
       1},
      {"setting a damaged index aside", kReadWrite, "{\"next_id\": 7, \"clips\": [", open_store,
       "cannot set damaged clips.json aside: another process holds the file open without "
       "delete sharing",
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << last_error();
    ASSERT_EQ(clip_wipe(), 1) << last_error();
    EXPECT_EQ(push("kept"), "{\"id\":1,\"dedup\":0}");
    if (c.index != nullptr) write_file(dir_.file("clips.json"), c.index);
    const std::string before = index();
    {
      Holder holder(dir_.file("clips.json"), c.share);
      ASSERT_TRUE(holder.holding());
      EXPECT_EQ(c.call(dir_.path()), 0);
      EXPECT_EQ(last_error(), c.message);
    }
    EXPECT_EQ(index(), before);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});

    EXPECT_EQ(c.call(dir_.path()), 1) << last_error();
    EXPECT_EQ(list_dir(dir_.path()).size(), c.index != nullptr ? 2u : 1u);  // set aside
    reopen();
    EXPECT_EQ(g_store.count, c.count);
  }
}

// An image file held open when its clip is deleted stays behind (the removal
// is not reported); the clip is gone from the index all the same.
TEST_F(WindowsStoreTest, AHeldImageOfADeletedClipStaysAndTheClipGoes) {
  EXPECT_EQ(take(push_png("picture", nullptr)), "{\"id\":1}");
  {
    Holder holder(image_path(1));
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(clip_delete(1), 1) << last_error();
    EXPECT_EQ(last_error(), "");
  }
  EXPECT_TRUE(file_exists(image_path(1)));
  reopen();
  EXPECT_EQ(ids(), std::vector<int>{});
}

// Where Linux puts strerror's text, Windows puts its own, one line.
TEST(WindowsMessages, CarryTheSystemsTextOnOneLine) {
  TempDir parent;
  const std::string path = parent.file("missing/store");
  EXPECT_EQ(clip_init(path.c_str()), 0);
  const std::string message = last_error();
  const std::string head = "mkdir failed: " + path + " (";
  ASSERT_EQ(message.rfind(head, 0), 0u) << message;
  ASSERT_EQ(message.back(), ')') << message;
  std::string text = message.substr(head.size(), message.size() - head.size() - 1);
  expect_one_line(text);
  EXPECT_NE(text, strerror(ENOENT));  // not the C runtime's text
}

// The fault seam reaches the Windows calls: an injected failure carries the C
// runtime's text for its errno, as on Linux.
TEST_F(WindowsStoreTest, InjectedFaultsReachTheWindowsCalls) {
  struct Case {
    clip_fault_op op;
    const char *message;
  };
  const Case cases[] = {
      {CLIP_FAULT_OPEN, "failed to open clips.json.tmp: Permission denied"},
      {CLIP_FAULT_WRITE, "failed to write clips.json.tmp"},
      {CLIP_FAULT_SYNC, "failed to write clips.json.tmp"},
      {CLIP_FAULT_CLOSE, "failed to close clips.json.tmp"},
      {CLIP_FAULT_RENAME, "atomic rename failed: Input/output error"},
  };
  EXPECT_EQ(push("kept"), "{\"id\":1,\"dedup\":0}");
  const std::string before = index();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    clip_fault_reset();
    clip_fault_arm(c.op, 1);
    EXPECT_EQ(clip_pin(1, 1), 0);
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(index(), before);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"clips.json"});
  }
}

}  // namespace
