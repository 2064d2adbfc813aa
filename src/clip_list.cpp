#include "clip_list.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "clip_error.h"
#include "clip_sys.h"

constinit clip_store g_store{};

namespace {

constexpr int kFirstCapacity = 64;

}  // namespace

bool clip_list_append(clip_store *store, clip_entry *entry) {
  if (store->count >= store->capacity) {
    if (store->capacity > INT32_MAX / 2) {
      clip_set_error("out of memory");
      return false;
    }
    int cap = store->capacity == 0 ? kFirstCapacity : store->capacity * 2;
    void *grown = clip_realloc(store->entries,
                               static_cast<size_t>(cap) * sizeof(clip_entry));
    if (grown == nullptr) {
      clip_set_error("out of memory");
      return false;
    }
    store->entries = static_cast<clip_entry *>(grown);
    store->capacity = cap;
  }
  store->entries[store->count++] = *entry;
  store->unsaved = true;
  entry->preview = nullptr;
  entry->text = nullptr;
  entry->label = nullptr;
  return true;
}

int clip_list_find_index(const clip_store *store, int id) {
  for (int i = 0; i < store->count; ++i) {
    if (store->entries[i].id == id) return i;
  }
  return -1;
}

namespace {

// Makes room to queue n more image files for deletion, so that removing
// clips never has to choose between deleting a file the index on disk still
// names and leaving one behind that nothing names.
bool reserve_doomed(clip_store *store, int n) {
  if (n <= store->doomed_capacity - store->doomed_count) return true;
  int cap = store->doomed_capacity == 0 ? 16 : store->doomed_capacity;
  while (cap - store->doomed_count < n) {
    if (cap > INT32_MAX / 2) return false;
    cap *= 2;
  }
  void *grown = clip_realloc(store->doomed, static_cast<size_t>(cap) * sizeof(int));
  if (grown == nullptr) return false;
  store->doomed = static_cast<int *>(grown);
  store->doomed_capacity = cap;
  return true;
}

// Releases a record that leaves the list; its image file, if any, goes with
// the next index write that succeeds. Room in the queue was reserved.
void drop_entry(clip_store *store, clip_entry *e) {
  if (e->kind == CLIP_KIND_IMAGE) store->doomed[store->doomed_count++] = e->id;
  clip_list_free_entry(e);
  store->unsaved = true;
}

}  // namespace

bool clip_list_remove_at(clip_store *store, int index) {
  if (index < 0 || index >= store->count) return false;
  clip_entry *e = &store->entries[index];
  if (e->kind == CLIP_KIND_IMAGE && !reserve_doomed(store, 1)) {
    clip_set_error("out of memory");
    return false;
  }
  drop_entry(store, e);
  int behind = store->count - index - 1;
  if (behind > 0) {
    memmove(e, e + 1, static_cast<size_t>(behind) * sizeof(clip_entry));
  }
  --store->count;
  return true;
}

int clip_list_evict_oldest_unpinned_n(clip_store *store, int n) {
  if (n > store->count) n = store->count;
  if (n <= 0) return 0;
  if (!reserve_doomed(store, n)) {
    clip_set_error("out of memory");
    return -1;
  }
  // One pass that closes every gap at once, where n single evictions would
  // move the records behind each evicted one n times.
  int removed = 0;
  int keep = 0;
  for (int i = 0; i < store->count; ++i) {
    clip_entry *e = &store->entries[i];
    if (removed < n && !e->pinned) {
      drop_entry(store, e);
      ++removed;
    } else {
      if (keep != i) store->entries[keep] = *e;
      ++keep;
    }
  }
  store->count = keep;
  return removed;
}

int clip_list_count_pinned(const clip_store *store) {
  int n = 0;
  for (int i = 0; i < store->count; ++i) {
    if (store->entries[i].pinned) ++n;
  }
  return n;
}

int clip_list_count_unpinned(const clip_store *store) {
  if (store->count <= 0) return store->count;
  return store->count - clip_list_count_pinned(store);
}

void clip_list_free_entry(clip_entry *entry) {
  if (entry == nullptr) return;
  free(entry->preview);
  free(entry->text);
  free(entry->label);
  entry->preview = nullptr;
  entry->text = nullptr;
  entry->label = nullptr;
}

void clip_list_clear(clip_store *store) {
  if (store == nullptr) return;
  for (int i = 0; i < store->count; ++i) clip_list_free_entry(&store->entries[i]);
  free(store->entries);
  store->entries = nullptr;
  store->count = 0;
  store->capacity = 0;
  store->next_id = 1;
  store->unsaved = true;
  free(store->doomed);
  store->doomed = nullptr;
  store->doomed_count = 0;
  store->doomed_capacity = 0;
}
