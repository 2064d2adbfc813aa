/* Compiled as C99 with -pedantic -Werror: the public header is plain C, and
   a C program can drive the whole interface through it. */
#define _XOPEN_SOURCE 700 /* mkdtemp, rmdir */
#include <quillmar_clip.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#define rmdir _rmdir
#else
#include <unistd.h>
#endif

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s (last error: %s)\n", what, clip_last_error());
    ++failures;
  }
}

int main(void) {
#if defined(_WIN32)
  char dir[] = "quillmar-header-c-XXXXXX";
#else
  char dir[] = "/tmp/quillmar-header-c-XXXXXX";
#endif
  char *s;
  static const unsigned char png[] = {0x89, 'P', 'N', 'G', 1, 2, 3};
#if defined(_WIN32)
  if (_mktemp(dir) == NULL || _mkdir(dir) != 0) return 2;
#else
  if (mkdtemp(dir) == NULL) return 2;
#endif

  check(strcmp(clip_last_error(), "") == 0, "no error before any call");
  check(clip_list(0, 0) == NULL, "list before init fails");
  check(strcmp(clip_last_error(), "not initialized") == 0, "not initialized");
  check(clip_init(dir) == 1, "init");

  s = clip_push_text("hello from C");
  check(s != NULL && strcmp(s, "{\"id\":1,\"dedup\":0}") == 0, "push text");
  clip_free_string(s);
  s = clip_push_image(png, (int)sizeof png, "logo");
  check(s != NULL && strcmp(s, "{\"id\":2}") == 0, "push image");
  clip_free_string(s);
  s = clip_get(1);
  check(s != NULL && strcmp(s, "hello from C") == 0, "get");
  clip_free_string(s);
  s = clip_list(0, 0);
  check(s != NULL && strstr(s, "\"id\":2") != NULL, "list");
  clip_free_string(s);
  s = clip_search("HELLO", 0);
  check(s != NULL && strstr(s, "\"score\":100") != NULL, "search");
  clip_free_string(s);
  check(clip_pin(1, 1) == 1, "pin");
  check(clip_delete(2) == 1, "delete");
  check(clip_wipe() == 1, "wipe");
  clip_free_string(NULL);

  {
    char index[sizeof dir + 16];
    snprintf(index, sizeof index, "%s/clips.json", dir);
    remove(index);
    rmdir(dir);
  }
  if (failures == 0) printf("header_c: all calls behaved\n");
  return failures == 0 ? 0 : 1;
}
