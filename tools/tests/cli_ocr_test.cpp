// Reading images for words: the engine on a small rendered fixture, its
// failures, and the queue that keeps captures in order while an image is
// read. The tests that need Tesseract and its English data skip without them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_capture_queue.h"
#include "cli_config.h"
#include "cli_ocr.h"

namespace host {
namespace {

// Two lines of text rendered in DejaVu Sans, 640x120, grey: "Invoice 4711"
// and "ssh deploy@example.org".
std::string fixture() {
  std::ifstream in(QUILLMAR_OCR_FIXTURE, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool can_read() { return ocr_unavailable({"eng"}).empty(); }

TEST(Ocr, LabelsAndPackages) {
  struct {
    const char *owner, *words, *label;
  } labels[] = {
      {"", "", ""},
      {"", "Invoice 4711", "Invoice 4711"},
      {"https://example.org/a.png", "", "https://example.org/a.png"},
      {"https://example.org/a.png", "Invoice 4711", "https://example.org/a.png | Invoice 4711"},
  };
  for (auto &c : labels) EXPECT_EQ(label_with_words(c.owner, c.words), c.label) << c.owner;
  EXPECT_EQ(ocr_language_package("eng"), "tesseract-ocr-eng");
  EXPECT_EQ(ocr_language_package("chi_sim"), "tesseract-ocr-chi-sim");
}

TEST(Ocr, ReadsTheWordsOfAnImage) {
  if (!can_read()) GTEST_SKIP() << ocr_unavailable({"eng"});
  OcrReader reader({"eng"});
  std::string words, why;
  ASSERT_TRUE(reader.read(fixture(), kOcrDeadlineMs, &words, &why)) << why;
  EXPECT_EQ(words, "Invoice 4711 ssh deploy@example.org");
  // The engine is kept between images.
  ASSERT_TRUE(reader.read(fixture(), kOcrDeadlineMs, &words, &why)) << why;
  EXPECT_EQ(words, "Invoice 4711 ssh deploy@example.org");
}

TEST(Ocr, FailuresSayWhyAndGiveNoWords) {
  if (!can_read()) GTEST_SKIP() << ocr_unavailable({"eng"});
  OcrReader reader({"eng"});
  std::string words = "stale", why;
  EXPECT_FALSE(reader.read("not a picture", kOcrDeadlineMs, &words, &why));
  EXPECT_EQ(why, "it is not a PNG image");
  EXPECT_EQ(words, "");
  // A damaged file is said once, in our words: libpng writes nothing.
  std::string cut = fixture().substr(0, 2000);
  EXPECT_FALSE(reader.read(cut, kOcrDeadlineMs, &words, &why));
  EXPECT_EQ(why, "it is not a whole PNG image (the file ends early)");
  std::atomic<bool> cancel{true};
  EXPECT_FALSE(reader.read(fixture(), kOcrDeadlineMs, &words, &why, &cancel));
  EXPECT_EQ(why, "the reading was stopped");
  // A language without its data never starts the engine.
  OcrReader missing({"qqq"});
  EXPECT_FALSE(missing.read(fixture(), kOcrDeadlineMs, &words, &why));
  EXPECT_NE(why.find("no language data for qqq"), std::string::npos) << why;
  EXPECT_NE(why.find("install tesseract-ocr-qqq"), std::string::npos) << why;
}

// The config file names the package of a language whose data is missing,
// and the key's type is checked like every other key's.
TEST(Ocr, ConfigKeys) {
  char dir[] = "/tmp/ocr-config-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/config.toml";
  struct {
    const char *text;
    bool ok;
    const char *error;  // part of it
  } cases[] = {
      {"ocr = false\n", true, ""},
      {"ocr = \"yes\"\n", false, "line 1: ocr must be true or false, not a string"},
      {"ocr_languages = []\n", false, "ocr_languages must be a list of Tesseract languages"},
      {"ocr_languages = [3]\n", false, "ocr_languages[1] must be a string"},
      {"ocr = false\nocr_languages = [\"qqq\"]\n", true, ""},
  };
  for (auto &c : cases) {
    std::ofstream(path) << c.text;
    Config config;
    std::string error;
    EXPECT_EQ(load_config_file(path, &config, &error), c.ok) << c.text << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << error;
  }
  if (ocr_built()) {
    std::ofstream(path) << "ocr_languages = [\"eng\", \"qqq\"]\n";
    Config config;
    std::string error;
    EXPECT_FALSE(load_config_file(path, &config, &error));
    EXPECT_NE(error.find("install tesseract-ocr-qqq"), std::string::npos) << error;
  }
  unlink(path.c_str());
  rmdir(dir);
}

Capture text(const char *s) {
  Capture c;
  c.bytes = s;
  c.seen = c.bytes.size();
  return c;
}

// An image being read holds back the clips behind it, which are recorded
// after it, in the order they came.
TEST(CaptureQueue, KeepsTheOrderWhileAnImageIsRead) {
  if (!can_read()) GTEST_SKIP() << ocr_unavailable({"eng"});
  Config config;
  CaptureQueue queue(config);
  std::vector<std::string> recorded;
  auto record = [&](QueuedCapture &q) {
    recorded.push_back(q.capture.kind == ClipKind::image ? "image: " + q.capture.label
                                                         : q.capture.bytes);
  };
  Capture image;
  image.kind = ClipKind::image;
  image.bytes = fixture();
  queue.push(text("first"), "CLIPBOARD", record);
  EXPECT_EQ(recorded, std::vector<std::string>{"first"});
  queue.push(image, "CLIPBOARD", record);
  queue.push(text("after"), "CLIPBOARD", record);
  while (!queue.empty()) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(queue.fd(), &set);
    struct timeval tv = {30, 0};
    ASSERT_GT(select(queue.fd() + 1, &set, nullptr, nullptr, &tv), 0);
    uint64_t n;
    ASSERT_EQ(read(queue.fd(), &n, sizeof n), static_cast<ssize_t>(sizeof n));
    queue.drain(record);
  }
  EXPECT_EQ(recorded, (std::vector<std::string>{"first",
                                                "image: Invoice 4711 ssh deploy@example.org",
                                                "after"}));
}

// A watcher that stops records what it took, an image not yet read without
// words.
TEST(CaptureQueue, FinishRecordsEverythingLeft) {
  Config config;
  config.ocr_set = true;
  config.ocr = can_read();
  CaptureQueue queue(config);
  std::vector<std::string> recorded;
  auto record = [&](QueuedCapture &q) {
    recorded.push_back(q.capture.kind == ClipKind::image ? "image: " + q.capture.label
                                                         : q.capture.bytes);
  };
  Capture image;
  image.kind = ClipKind::image;
  image.bytes = fixture();
  for (int i = 0; i < 3; ++i) queue.push(image, "CLIPBOARD", record);
  queue.push(text("last"), "CLIPBOARD", record);
  queue.finish(record);
  ASSERT_EQ(recorded.size(), 4u);
  EXPECT_EQ(recorded.back(), "last");
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace host
