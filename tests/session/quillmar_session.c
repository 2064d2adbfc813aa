/*
 * One scripted session through the public interface, printed as a
 * transcript: every call with its result or message, the store's files and
 * clips.json's bytes. The store is "störe" in the current directory. Times
 * are printed as <ts>; bytes below 0x20, 0x7F and the backslash as \xNN, so
 * that each result is one line. The same session prints the same transcript
 * on every platform (session/compare.sh holds Windows to Linux).
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmar_clip.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#endif

static const char kStore[] = "st\xc3\xb6re"; /* störe */

static void put_escaped(const char *s, size_t n) {
  size_t i;
  for (i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)s[i];
    if (c < 0x20 || c == 0x7F || c == '\\') {
      printf("\\x%02X", c);
    } else {
      putchar(c);
    }
  }
}

/* s with every "ts" member's number replaced by <ts>, printed escaped. */
static void put_masked(const char *s) {
  const char *p = s;
  for (;;) {
    const char *ts = strstr(p, "\"ts\":");
    const char *num;
    if (ts == NULL) break;
    num = ts + 5;
    while (*num == ' ') ++num;
    put_escaped(p, (size_t)(num - p));
    if (*num == '-') ++num;
    if (*num >= '0' && *num <= '9') {
      fputs("<ts>", stdout);
      while (*num >= '0' && *num <= '9') ++num;
    }
    p = num;
  }
  put_escaped(p, strlen(p));
}

static unsigned long long fnv1a(const char *s, size_t n) {
  unsigned long long h = 1469598103934665603ULL;
  size_t i;
  for (i = 0; i < n; ++i) {
    h ^= (unsigned char)s[i];
    h *= 1099511628211ULL;
  }
  return h;
}

/* A result string: its text, or the message when it is null. */
static void result(const char *what, char *r) {
  printf("%s -> ", what);
  if (r == NULL) {
    printf("NULL \"%s\"\n", clip_last_error());
    return;
  }
  if (strlen(r) > 4096) {
    printf("%lu bytes, fnv1a %016llx\n", (unsigned long)strlen(r), fnv1a(r, strlen(r)));
  } else {
    put_masked(r);
    putchar('\n');
  }
  clip_free_string(r);
}

static void status(const char *what, int ok) {
  printf("%s -> %d \"%s\"\n", what, ok, clip_last_error());
}

static FILE *open_in_store(const char *name) {
  char path[256];
  snprintf(path, sizeof path, "%s/%s", kStore, name);
#if defined(_WIN32)
  {
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 256) == 0) return NULL;
    return _wfopen(wide, L"rb");
  }
#else
  return fopen(path, "rb");
#endif
}

/* A file of the store: its size and fingerprint, and its bytes unless big. */
static void show_file(const char *name) {
  FILE *f = open_in_store(name);
  char *buf;
  size_t n = 0, cap = 1 << 16;
  if (f == NULL) {
    printf("file %s: missing\n", name);
    return;
  }
  buf = (char *)malloc(cap);
  for (;;) {
    size_t got;
    if (n == cap) {
      cap *= 2;
      buf = (char *)realloc(buf, cap);
    }
    got = fread(buf + n, 1, cap - n, f);
    if (got == 0) break;
    n += got;
  }
  fclose(f);
  if (strcmp(name, "clips.json") != 0) {
    printf("file %s: %lu bytes, fnv1a %016llx\n", name, (unsigned long)n, fnv1a(buf, n));
  } else {
    /* Its times change from run to run: its bytes are shown with them masked. */
    printf("file %s: %lu bytes\n", name, (unsigned long)n);
    buf = (char *)realloc(buf, n + 1);
    buf[n] = '\0';
    put_masked(buf);
    putchar('\n');
  }
  free(buf);
}

static int compare_names(const void *a, const void *b) {
  return strcmp(*(char *const *)a, *(char *const *)b);
}

/* The names in the store, sorted, "." and ".." left out. */
static void show_store(void) {
  char *names[64];
  int count = 0, i;
#if defined(_WIN32)
  wchar_t pattern[256];
  WIN32_FIND_DATAW data;
  HANDLE find;
  char pat[256];
  snprintf(pat, sizeof pat, "%s/*", kStore);
  MultiByteToWideChar(CP_UTF8, 0, pat, -1, pattern, 256);
  find = FindFirstFileW(pattern, &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      char name[MAX_PATH * 3];
      WideCharToMultiByte(CP_UTF8, 0, data.cFileName, -1, name, sizeof name, NULL, NULL);
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && count < 64) {
        names[count++] = strcpy((char *)malloc(strlen(name) + 1), name);
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
#else
  DIR *dir = opendir(kStore);
  struct dirent *ent;
  while (dir != NULL && (ent = readdir(dir)) != NULL) {
    if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0 && count < 64) {
      names[count++] = strcpy((char *)malloc(strlen(ent->d_name) + 1), ent->d_name);
    }
  }
  if (dir != NULL) closedir(dir);
#endif
  qsort(names, (size_t)count, sizeof names[0], compare_names);
  printf("store:");
  for (i = 0; i < count; ++i) {
    printf(" %s", names[i]);
    free(names[i]);
  }
  printf("\n");
}

static char *push_image(const unsigned char *png, int len, const char *label) {
  return clip_push_image(png, len, label);
}

int main(void) {
  /* Every escape class a JSON writer meets, and characters of 1 to 4 bytes. */
  static const char escapes[] =
      "quote \" backslash \\ slash / bs \b ff \f nl \n cr \r tab \t "
      "soh \x01 us \x1f del \x7f e-acute \xc3\xa9 euro \xe2\x82\xac "
      "line-sep \xe2\x80\xa8 emoji \xf0\x9f\x98\x80 end";
  static const char long_preview[] =
      "A line long enough to need a preview cut: 0123456789 0123456789 0123456789 "
      "0123456789 0123456789 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 and more words after it";
  /* A PNG signature holds CR LF, SUB and LF: a text-mode write would change it. */
  static const unsigned char png1[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                       0, 0, 0, 13, 'I', 'H', 'D', 'R', '\n', '\r', 0};
  static const unsigned char png2[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 1, 2, 3};
  static const unsigned char png3[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 4, 5};
  size_t big_len = CLIP_TEXT_CAP + 10;
  char *big;
  size_t i;

#if defined(_WIN32)
  /* The transcript's bytes as they are: no CR before each LF. */
  _setmode(_fileno(stdout), _O_BINARY);
#endif

  status("init", clip_init(kStore));
  show_store();
  show_file("clips.json");

  result("push hello", clip_push_text("hello world"));
  result("push hello again", clip_push_text("hello world"));
  result("push escapes", clip_push_text(escapes));
  result("push long preview", clip_push_text(long_preview));
  result("push invalid UTF-8", clip_push_text("bad \xff byte"));
  result("push NULL", clip_push_text(NULL));

  /* Over the cap, with a two-byte character across the cut. */
  big = (char *)malloc(big_len + 1);
  for (i = 0; i < big_len; ++i) big[i] = (char)('a' + i % 26);
  big[CLIP_TEXT_CAP - 1] = '\xc3';
  big[CLIP_TEXT_CAP] = '\xa9';
  big[big_len] = '\0';
  result("push over 1 MiB", clip_push_text(big));
  free(big);

  result("push image with label",
         push_image(png1, (int)sizeof png1, "logo \"q\" \\ / \xc3\xa9\n\t"));
  result("push image without label", push_image(png2, (int)sizeof png2, NULL));
  result("push image empty label", push_image(png3, (int)sizeof png3, ""));
  result("push image again", push_image(png3, (int)sizeof png3, "other"));
  result("push image NULL", push_image(NULL, 4, NULL));
  result("push image len 0", push_image(png1, 0, NULL));
  result("push WORLD", clip_push_text("Hello WORLD, hello again"));

  show_store();
  show_file("clips.json");
  show_file("img_5.png");
  show_file("img_6.png");
  show_file("img_7.png");

  result("list 0 0", clip_list(0, 0));
  result("list 1 2", clip_list(1, 2));
  result("list -5 3", clip_list(-5, 3));
  result("list 100 5", clip_list(100, 5));
  for (i = 0; i <= 10; ++i) {
    char what[32];
    snprintf(what, sizeof what, "get %d", (int)i);
    result(what, clip_get((int)i));
  }
  result("get -3", clip_get(-3));

  result("search hello", clip_search("hello", 0));
  result("search WORLD", clip_search("WORLD", 0));
  result("search e-acute", clip_search("\xc3\xa9", 0));
  result("search empty limit 2", clip_search("", 2));
  result("search nothing", clip_search("no such text", 0));
  result("search NULL", clip_search(NULL, 0));

  status("pin 1", clip_pin(1, 1));
  status("pin 6", clip_pin(6, 7));
  status("pin 99", clip_pin(99, 1));
  status("unpin 6", clip_pin(6, 0));
  status("delete 7", clip_delete(7));
  status("delete 3", clip_delete(3));
  status("delete 3 again", clip_delete(3));
  show_store();
  show_file("clips.json");

  status("reload", clip_init(kStore));
  result("list after reload", clip_list(0, 0));
  result("get 6 after reload", clip_get(6));
  result("push after reload", clip_push_text("after reload"));
  show_file("clips.json");

  status("wipe", clip_wipe());
  show_store();
  show_file("clips.json");
  result("list after wipe", clip_list(0, 0));
  result("push after wipe", clip_push_text("first again"));
  result("get 1 after wipe", clip_get(1));
  show_file("clips.json");

  status("init NULL", clip_init(NULL));
  status("init empty", clip_init(""));
  result("list while open", clip_list(0, 1));
  return 0;
}
