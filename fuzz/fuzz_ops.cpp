// Fuzz target: a sequence of calls decoded from the input (captures, pins,
// deletes, wipes, reads, restarts), some of them with an allocation or file
// operation made to fail. After every call the answer and the history in
// memory must be the model's (a call that met a fault may only fail, with a
// message, leaving what a failure may leave); while the file is in step with
// memory, the index must hold exactly the listed history; every image the
// index names is on disk, whatever failed; new ids always rise; and the store
// never needs to be set aside.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <set>

#include "clip_fault.h"
#include "clip_store.h"
#include "fuzz_support.h"
#include "quillmar_clip.h"

namespace {

struct Input {
  const uint8_t *p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  std::string bytes(size_t len) {
    len = len < n ? len : n;
    std::string s(reinterpret_cast<const char *>(p), len);
    p += len;
    n -= len;
    return s;
  }
};

struct State {
  model::History history;
  bool behind = false;            // a change failed: the index may lag memory
  bool faulted = false;           // a fault is armed for the current call
  int floor = 0;                  // every new id must be above it
  std::map<std::string, std::string> images;  // image bytes by fingerprint
  int bulk = 0;
};

const std::string &dir() { return fuzz::store_dir(); }

void check_images(const State &st) {
  for (const model::Clip &c : st.history.clips) {
    if (c.kind != CLIP_KIND_IMAGE) continue;
    std::string path = dir() + "/img_" + std::to_string(c.id) + ".png";
    struct stat sb;
    FUZZ_CHECK(stat(path.c_str(), &sb) == 0, "no file for image clip %d", c.id);
    auto known = st.images.find(c.hash);
    FUZZ_CHECK(known != st.images.end() && model::slurp(path) == known->second,
               "wrong bytes for image clip %d", c.id);
  }
}

// Memory is the model; when the file is in step, so is the index.
void check_state(State &st) {
  model::History memory = model::from_store(g_store);
  std::string d = model::diff(st.history, memory);
  FUZZ_CHECK(d.empty(), "memory: %s", d.c_str());
  for (size_t i = 1; i < memory.clips.size(); ++i) {
    FUZZ_CHECK(memory.clips[i - 1].id < memory.clips[i].id, "ids out of order");
  }
  FUZZ_CHECK(fuzz::count_files("clips.json.corrupt") == 0, "an index was set aside");
  // Whether or not the file is in step, every image it names is on disk.
  d = model::check_named_images(dir());
  FUZZ_CHECK(d.empty(), "%s", d.c_str());
  if (st.behind) return;
  model::Disk disk = model::read_index(dir());
  FUZZ_CHECK(disk.state == model::Disk::OK, "index: %s", disk.why.c_str());
  d = model::diff(st.history, disk.history);
  FUZZ_CHECK(d.empty(), "index: %s", d.c_str());
  check_images(st);
}

template <class Apply, class Call>
void change(State &st, const char *what, Apply apply, Call call) {
  model::History before = st.history;
  model::History after = before;
  model::Outcome want = apply(after);
  model::Outcome got = call();
  const char *msg = clip_last_error();
  model::History memory = model::from_store(g_store);
  if (got.ok) {
    FUZZ_CHECK(msg[0] == '\0', "%s: message after success: %s", what, msg);
    FUZZ_CHECK(want.ok, "%s succeeded where it must fail", what);
    FUZZ_CHECK(got.id == want.id && got.dedup == want.dedup, "%s: id %d dedup %d, not %d %d",
               what, got.id, got.dedup, want.id, want.dedup);
    st.history = after;
    if (want.id != 0 && !want.dedup) {
      FUZZ_CHECK(got.id > st.floor && got.id >= 1, "%s: id %d after %d", what, got.id, st.floor);
      st.floor = got.id;
    }
    // Every success leaves the file in step: a repeat writes the index
    // first when memory was ahead of it.
    st.behind = false;
    return;
  }
  FUZZ_CHECK(msg[0] != '\0', "%s failed with no message", what);
  if (!want.ok) {
    std::string d = model::diff(before, memory);
    FUZZ_CHECK(d.empty(), "%s refused (%s) but changed memory: %s", what, msg, d.c_str());
    return;
  }
  FUZZ_CHECK(st.faulted, "%s failed with no fault: %s", what, msg);
  model::History used_up = after;
  if (want.id != 0 && !want.dedup) used_up.clips.pop_back();
  if (model::diff(before, memory).empty()) {
    st.history = before;
  } else if (model::diff(after, memory).empty()) {
    st.history = after;
  } else {
    std::string d = model::diff(used_up, memory);
    FUZZ_CHECK(d.empty(), "%s failed (%s) and left memory so: %s", what, msg, d.c_str());
    st.history = used_up;
  }
  if (want.id != 0 && !want.dedup && g_store.next_id > want.id) st.floor = want.id;
  st.behind = true;
  model::Disk disk = model::read_index(dir());
  FUZZ_CHECK(disk.state != model::Disk::DAMAGED, "%s: %s", what, disk.why.c_str());
  std::string named = model::check_named_images(dir());
  FUZZ_CHECK(named.empty(), "%s failed (%s): %s", what, msg, named.c_str());
}

int pick_id(State &st, Input &in) {
  uint8_t b = in.byte();
  if (!st.history.clips.empty() && b < 224) return st.history.clips[b % st.history.clips.size()].id;
  return static_cast<int8_t>(b);
}

void push_text(State &st, const std::string &text) {
  change(
      st, "push_text", [&](model::History &h) { return model::push_text(h, text); },
      [&] { return model::answer_of(clip_push_text(text.c_str())); });
}

void reinit(State &st) {
  model::Disk disk = model::read_index(dir());
  if (clip_init(dir().c_str()) != 1) {
    FUZZ_CHECK(st.faulted && clip_last_error()[0] != '\0', "clip_init: %s", clip_last_error());
    clip_fault_reset();
    st.faulted = false;
    FUZZ_CHECK(clip_init(dir().c_str()) == 1, "clip_init again: %s", clip_last_error());
  }
  FUZZ_CHECK(clip_last_error()[0] == '\0', "message after clip_init");
  model::History loaded = model::from_store(g_store);
  if (!st.behind) {
    std::string d = model::diff(st.history, loaded);
    FUZZ_CHECK(d.empty(), "reloaded: %s", d.c_str());
    return;
  }
  // What was held ahead of the file is gone; the index decides.
  FUZZ_CHECK(disk.state != model::Disk::DAMAGED, "%s", disk.why.c_str());
  std::string d = model::diff(disk.history, loaded);
  FUZZ_CHECK(d.empty(), "reloaded against the index: %s", d.c_str());
  st.history = loaded;
  st.floor = loaded.next_id - 1;
  st.behind = false;
}

// The ids a query finds, when there are few enough that the order does
// not decide which ones are returned.
void search(State &st, const std::string &query) {
  char *r = clip_search(query.c_str(), 0);
  if (r == nullptr) {
    FUZZ_CHECK(st.faulted && clip_last_error()[0] != '\0', "search: %s", clip_last_error());
    return;
  }
  std::string json(r);
  clip_free_string(r);
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  std::multiset<int> want, got;
  for (const model::Clip &c : st.history.clips) {
    if (c.kind != CLIP_KIND_TEXT) continue;
    auto it = std::search(c.text.begin(), c.text.end(), query.begin(), query.end(),
                          [&](char a, char b) {
                            return fold(static_cast<unsigned char>(a)) ==
                                   fold(static_cast<unsigned char>(b));
                          });
    if (query.empty() || it != c.text.end()) want.insert(c.id);
  }
  for (size_t p = json.find("{\"id\":"); p != std::string::npos; p = json.find("{\"id\":", p + 1)) {
    got.insert(atoi(json.c_str() + p + 6));
  }
  if (want.size() <= CLIP_DEFAULT_LIMIT) {
    FUZZ_CHECK(got == want, "search for a %zu-byte query: %zu hits, want %zu", query.size(),
               got.size(), want.size());
  } else {
    FUZZ_CHECK(got.size() == CLIP_DEFAULT_LIMIT, "search: %zu hits", got.size());
  }
}

void list(State &st, int offset, int limit) {
  char *r = clip_list(offset, limit);
  if (r == nullptr) {
    FUZZ_CHECK(st.faulted && clip_last_error()[0] != '\0', "list: %s", clip_last_error());
    return;
  }
  std::string json(r);
  clip_free_string(r);
  std::vector<int> want, got;
  int n = static_cast<int>(st.history.clips.size());
  int take = limit > 0 ? limit : CLIP_DEFAULT_LIMIT;
  for (int i = n - 1 - (offset > 0 ? offset : 0); i >= 0 && static_cast<int>(want.size()) < take; --i) {
    want.push_back(st.history.clips[static_cast<size_t>(i)].id);
  }
  for (size_t p = json.find("{\"id\":"); p != std::string::npos; p = json.find("{\"id\":", p + 1)) {
    got.push_back(atoi(json.c_str() + p + 6));
  }
  FUZZ_CHECK(got == want, "list(%d, %d): %zu clips, want %zu", offset, limit, got.size(), want.size());
}

void get(State &st, int id) {
  char *r = clip_get(id);
  int i = model::find(st.history, id);
  if (r == nullptr) {
    FUZZ_CHECK(i < 0 || st.faulted, "get %d: %s", id, clip_last_error());
    return;
  }
  FUZZ_CHECK(i >= 0, "get of a missing id %d", id);
  const model::Clip &c = st.history.clips[static_cast<size_t>(i)];
  if (c.kind == CLIP_KIND_TEXT) FUZZ_CHECK(c.text == r, "get %d: another text", id);
  clip_free_string(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  clip_fault_reset();
  fuzz::empty_store();
  FUZZ_CHECK(clip_init(dir().c_str()) == 1, "clip_init: %s", clip_last_error());
  State st;
  Input in{data, size};
  int steps = 0;
  while (in.n > 0 && ++steps <= 100) {
    uint8_t op = in.byte() % 14;
    if (op == 13) {  // the next call meets a fault
      clip_fault_arm(static_cast<clip_fault_op>(in.byte() % CLIP_FAULT_OP_COUNT), 1 + in.byte() % 24);
      st.faulted = true;
      op = in.byte() % 13;
    }
    switch (op) {
      case 0:
      case 1: {
        std::string text = in.bytes(in.byte() % 48);
        push_text(st, text.c_str());  // a C string ends at its first NUL
        break;
      }
      case 2: {  // a text about the size of the cap, a character across the cut
        if (in.byte() != 0xa5) break;  // rare: each one costs a megabyte a save
        size_t len = CLIP_TEXT_CAP - 3 + in.byte() % 8;
        std::string text(CLIP_TEXT_CAP + 8, 'a');
        text.replace(CLIP_TEXT_CAP - 2 + in.byte() % 4, 3, "\xe2\x82\xac");
        text.resize(len);
        push_text(st, text);
        break;
      }
      case 3: {
        std::string png = in.bytes(1 + in.byte() % 24);
        if (png.empty()) break;
        uint8_t mode = in.byte() % 3;
        std::string label = mode == 2 ? in.bytes(in.byte() % 16) : "";
        const char *lp = mode == 0 ? nullptr : label.c_str();
        st.images[model::fingerprint(png)] = png;
        change(
            st, "push_image",
            [&](model::History &h) { return model::push_image(h, png, lp); },
            [&] {
              return model::answer_of(
                  clip_push_image(reinterpret_cast<const unsigned char *>(png.data()),
                                  static_cast<int>(png.size()), lp));
            });
        break;
      }
      case 4:
      case 5: {
        int id = pick_id(st, in);
        int pinned = op == 4 ? 1 + in.byte() % 3 : 0;
        change(
            st, "pin", [&](model::History &h) { return model::pin(h, id, pinned); },
            [&] { return model::Outcome{clip_pin(id, pinned) == 1, 0, false}; });
        break;
      }
      case 6: {
        int id = pick_id(st, in);
        change(
            st, "delete", [&](model::History &h) { return model::remove(h, id); },
            [&] { return model::Outcome{clip_delete(id) == 1, 0, false}; });
        break;
      }
      case 7:
        change(
            st, "wipe", [](model::History &h) { return model::wipe(h); },
            [] { return model::Outcome{clip_wipe() == 1, 0, false}; });
        if (st.history.clips.empty() && st.history.next_id == 1) st.floor = 0;
        break;
      case 8: {
        int offset = static_cast<int8_t>(in.byte());
        int limit = static_cast<int8_t>(in.byte());
        list(st, offset, limit);
        break;
      }
      case 9:
        get(st, pick_id(st, in));
        break;
      case 10: {
        std::string query = in.bytes(in.byte() % 8);
        search(st, query.c_str());
        break;
      }
      case 11:
        reinit(st);
        break;
      case 12:
        for (int k = in.byte() % 16; k > 0; --k) push_text(st, "bulk " + std::to_string(++st.bulk));
        break;
    }
    clip_fault_reset();
    st.faulted = false;
    check_state(st);
  }

  // Once the faults are gone, one change brings the file in step, and a
  // fresh start finds exactly the history the calls acknowledged.
  if (st.behind) {
    push_text(st, "in step again " + std::to_string(++st.bulk));
    FUZZ_CHECK(!st.behind, "the change after the faults failed: %s", clip_last_error());
    check_state(st);
  }
  FUZZ_CHECK(clip_init(dir().c_str()) == 1, "clip_init at the end: %s", clip_last_error());
  std::string d = model::diff(st.history, model::from_store(g_store));
  FUZZ_CHECK(d.empty(), "reloaded at the end: %s", d.c_str());
  return 0;
}
