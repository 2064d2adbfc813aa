// Captures on their way into the store, in the order they arrived. An image
// is read for words by a worker thread before it is recorded, and the
// captures behind it wait for it: the history keeps the clipboard's order,
// while the watcher goes on taking the clips that follow. Every call of the
// library stays on the thread that owns the queue.
#ifndef QUILLMAR_CLI_CAPTURE_QUEUE_H
#define QUILLMAR_CLI_CAPTURE_QUEUE_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli_capture.h"

namespace host {

struct Config;

// One capture and what became of its reading.
struct QueuedCapture {
  Capture capture;
  const char *name = "";  // "CLIPBOARD", "PRIMARY": for what is printed
  bool to_read = false;   // an image to read for words first
  bool read = false;      // it was read (words may still be empty)
  std::string words;
  std::string why;  // why it was not read, when to_read and not read
  long ms = 0;      // how long the reading took
  // The worker's marks, under the queue's lock.
  bool taken = false;
  bool finished = false;
};

// Puts the words read (if any) into the capture's label and, with say, says
// on standard output what the reading gave ("CLIPBOARD: 12 words read in
// the image (0.8 s)"), never the words themselves.
void apply_words(QueuedCapture *q, bool say = true);

// For a process that records one clip: reads the image's words now, when
// the config reads images, and applies them.
void read_words_now(QueuedCapture *q, const Config &config, bool say);

class CaptureQueue {
 public:
  // Images are read when config.reads_images() (the config as it is now;
  // set_reading changes it).
  explicit CaptureQueue(const Config &config);
  ~CaptureQueue();
  CaptureQueue(const CaptureQueue &) = delete;
  CaptureQueue &operator=(const CaptureQueue &) = delete;

  void set_reading(const Config &config);

  // Readable when a reading has finished: poll it, then call drain(). -1
  // when the queue cannot wake anyone (no eventfd): drain() then waits.
  int fd() const { return event_fd_; }

  using Record = std::function<void(QueuedCapture &)>;
  // Queues a capture and records, with record, every capture at the head
  // that is ready.
  void push(Capture capture, const char *name, const Record &record);
  // Records every capture at the head that is ready.
  void drain(const Record &record);
  // Stops a reading under way, and records every capture left, the images
  // not yet read without words.
  void finish(const Record &record);
  bool empty() const;

 private:
  void work();

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<QueuedCapture>> items_;
  bool reading_ = false;
  std::vector<std::string> languages_;
  bool quit_ = false;
  std::atomic<bool> cancel_{false};
  int event_fd_ = -1;
  std::thread worker_;
};

}  // namespace host

#endif  // QUILLMAR_CLI_CAPTURE_QUEUE_H
