/* A small host: opens a store, records two clips, lists and searches them. */
#include <quillmar_clip.h>

#include <stdio.h>
#include <stdlib.h>

static int show(const char *what, char *result) {
  if (result == NULL) {
    fprintf(stderr, "%s failed: %s\n", what, clip_last_error());
    return 1;
  }
  printf("%-8s %s\n", what, result);
  clip_free_string(result);
  return 0;
}

int main(int argc, char **argv) {
  const char *dir = argc > 1 ? argv[1] : "quillmar-example-store";
  if (!clip_init(dir)) {
    fprintf(stderr, "clip_init(%s) failed: %s\n", dir, clip_last_error());
    return 1;
  }
  printf("store    %s\n", dir);
  int bad = 0;
  bad |= show("push", clip_push_text("Hello, clipboard"));
  bad |= show("push", clip_push_text("https://example.org/a/b?c=d"));
  bad |= show("push", clip_push_text("Hello, clipboard"));
  bad |= show("list", clip_list(0, 10));
  bad |= show("search", clip_search("hello", 5));
  return bad;
}
