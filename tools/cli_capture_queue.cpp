#include "cli_capture_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "cli_capture.h"
#include "cli_config.h"
#include "cli_ocr.h"
#include "cli_process.h"

namespace host {

namespace {

size_t count_words(const std::string &words) {
  size_t n = 0;
  bool in = false;
  for (char c : words) {
    bool space = c == ' ';
    if (!space && !in) ++n;
    in = !space;
  }
  return n;
}

void read_into(OcrReader *reader, QueuedCapture *q, const std::atomic<bool> *cancel) {
  long started = now_ms();
  std::string words, why;
  bool ok = reader->read(q->capture.bytes, ocr_deadline_ms(), &words, &why, cancel);
  q->ms = now_ms() - started;
  q->read = ok;
  q->words = std::move(words);
  q->why = std::move(why);
}

}  // namespace

void apply_words(QueuedCapture *q, bool say) {
  if (!q->to_read) return;
  if (!q->read) {
    if (say) printf("%s: image recorded without words: %s\n", q->name, q->why.c_str());
    return;
  }
  if (q->words.empty()) {
    if (say) printf("%s: no words found in the image (%.1f s)\n", q->name, q->ms / 1000.0);
    return;
  }
  q->capture.label = label_with_words(q->capture.has_label ? q->capture.label : "", q->words);
  q->capture.has_label = true;
  size_t n = count_words(q->words);
  if (say) printf("%s: %zu word%s read in the image (%.1f s)\n", q->name, n, n == 1 ? "" : "s",
         q->ms / 1000.0);
}

void read_words_now(QueuedCapture *q, const Config &config, bool say) {
  q->to_read = q->capture.kind == ClipKind::image && config.reads_images();
  if (!q->to_read) return;
  OcrReader reader(config.languages());
  read_into(&reader, q, nullptr);
  apply_words(q, say);
}

CaptureQueue::CaptureQueue(const Config &config) {
  event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  set_reading(config);
}

CaptureQueue::~CaptureQueue() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cancel_ = true;
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (event_fd_ >= 0) close(event_fd_);
}

void CaptureQueue::set_reading(const Config &config) {
  bool on = config.reads_images();
  std::lock_guard<std::mutex> lock(mu_);
  reading_ = on;
  languages_ = config.languages();
}

bool CaptureQueue::empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return items_.empty();
}

void CaptureQueue::push(Capture capture, const char *name, const Record &record) {
  auto q = std::make_unique<QueuedCapture>();
  q->capture = std::move(capture);
  q->name = name;
  {
    std::lock_guard<std::mutex> lock(mu_);
    q->to_read = reading_ && q->capture.kind == ClipKind::image;
    if (q->to_read && !worker_.joinable()) worker_ = std::thread([this] { work(); });
    items_.push_back(std::move(q));
  }
  cv_.notify_all();
  drain(record);
}

void CaptureQueue::drain(const Record &record) {
  for (;;) {
    std::unique_ptr<QueuedCapture> head;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (items_.empty()) return;
      if (items_.front()->to_read && !items_.front()->finished) {
        // Without an eventfd nobody is woken when the reading ends: wait.
        if (event_fd_ >= 0) return;
      } else {
        head = std::move(items_.front());
        items_.pop_front();
      }
    }
    if (head == nullptr) {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return items_.front()->finished; });
      continue;
    }
    apply_words(head.get());
    record(*head);
  }
}

void CaptureQueue::finish(const Record &record) {
  cancel_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto &q : items_) {
      if (q->to_read && !q->finished) {
        q->read = false;
        q->why = "the watcher stopped before it was read";
        q->finished = true;
      }
    }
  }
  drain(record);
}

void CaptureQueue::work() {
  std::unique_ptr<OcrReader> reader;
  std::vector<std::string> languages;
  for (;;) {
    QueuedCapture *q = nullptr;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] {
        if (quit_) return true;
        for (auto &item : items_) {
          if (item->to_read && !item->taken) return true;
        }
        return false;
      });
      if (quit_) return;
      for (auto &item : items_) {
        if (item->to_read && !item->taken) {
          q = item.get();
          break;
        }
      }
      q->taken = true;
      if (reader == nullptr || languages != languages_) {
        languages = languages_;
        reader.reset();
      }
    }
    if (reader == nullptr) reader = std::make_unique<OcrReader>(languages);
    // The capture's bytes are the worker's alone until it is finished: the
    // owning thread records only finished captures.
    QueuedCapture result;
    result.capture.bytes.swap(q->capture.bytes);
    read_into(reader.get(), &result, &cancel_);
    {
      std::lock_guard<std::mutex> lock(mu_);
      q->capture.bytes.swap(result.capture.bytes);
      q->read = result.read;
      q->words = std::move(result.words);
      q->why = std::move(result.why);
      q->ms = result.ms;
      q->finished = true;
    }
    cv_.notify_all();
    if (event_fd_ >= 0) {
      uint64_t one = 1;
      if (write(event_fd_, &one, sizeof one) < 0) {
        // The counter is full only after 2^64 - 2 readings: nothing to do.
      }
    }
  }
}

}  // namespace host
