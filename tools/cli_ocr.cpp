#include "cli_ocr.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "cli_png.h"
#include "cli_process.h"
#include "cli_text.h"

#if defined(QUILLMAR_HAVE_TESSERACT)
#include <dlfcn.h>
#include <leptonica/allheaders.h>
#include <tesseract/capi.h>
#endif

namespace host {

int ocr_deadline_ms() {
  const char *env = getenv("QUILLMAR_OCR_DEADLINE_MS");
  if (env != nullptr && env[0] != '\0') {
    char *end = nullptr;
    long v = strtol(env, &end, 10);
    if (*end == '\0' && v > 0 && v <= 600000) return static_cast<int>(v);
  }
  return kOcrDeadlineMs;
}

std::vector<std::string> default_ocr_languages() { return {"eng"}; }

std::string ocr_language_package(const std::string &language) {
  std::string p = "tesseract-ocr-";
  for (char c : language) p += c == '_' ? '-' : static_cast<char>(tolower(c));
  return p;
}

std::string label_with_words(const std::string &owner_label, const std::string &words) {
  if (words.empty()) return owner_label;
  if (owner_label.empty()) return words;
  return owner_label + kOcrLabelSeparator + words;
}

#if !defined(QUILLMAR_HAVE_TESSERACT)

bool ocr_built() { return false; }

std::string ocr_unavailable(const std::vector<std::string> &) {
  return "this build has no libtesseract";
}

std::string ocr_missing_language(const std::vector<std::string> &) { return ""; }

OcrReader::OcrReader(std::vector<std::string> languages) : languages_(std::move(languages)) {}
OcrReader::~OcrReader() = default;
bool OcrReader::start(std::string *why) {
  *why = ocr_unavailable(languages_);
  return false;
}
bool OcrReader::read(std::string_view, int, std::string *words, std::string *why,
                     const std::atomic<bool> *) {
  words->clear();
  return start(why);
}

#else

namespace {

// The calls of libtesseract's C interface and of leptonica (which it loads)
// that we make, resolved once.
struct Tess {
  decltype(&TessBaseAPICreate) create;
  decltype(&TessBaseAPIDelete) destroy;
  decltype(&TessBaseAPIInit3) init;
  decltype(&TessBaseAPISetVariable) set_variable;
  decltype(&TessBaseAPISetImage) set_image;
  decltype(&TessBaseAPIRecognize) recognize;
  decltype(&TessBaseAPIGetUTF8Text) utf8_text;
  decltype(&TessDeleteText) delete_text;
  decltype(&TessBaseAPIClear) clear;
  decltype(&TessBaseAPIEnd) end;
  decltype(&TessMonitorCreate) monitor_create;
  decltype(&TessMonitorDelete) monitor_delete;
  decltype(&TessMonitorSetDeadlineMSecs) monitor_deadline;
  decltype(&TessMonitorSetCancelFunc) monitor_cancel;
  decltype(&TessMonitorSetCancelThis) monitor_cancel_this;
  decltype(&setMsgSeverity) lept_severity;
};

std::once_flag g_once;
const Tess *g_tess = nullptr;
std::string g_load_error;

template <typename F>
bool resolve(void *lib, const char *name, F *out) {
  *out = reinterpret_cast<F>(dlsym(lib, name));
  if (*out == nullptr) g_load_error = std::string(QUILLMAR_TESSERACT_SONAME) + " has no " + name;
  return *out != nullptr;
}

void load() {
  void *lib = dlopen(QUILLMAR_TESSERACT_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    g_load_error = std::string("cannot load ") + QUILLMAR_TESSERACT_SONAME +
                   " (install libtesseract5)";
    return;
  }
  static Tess t;
  // leptonica comes with libtesseract: dlsym on its handle finds it too.
  bool ok = resolve(lib, "TessBaseAPICreate", &t.create) &&
            resolve(lib, "TessBaseAPIDelete", &t.destroy) &&
            resolve(lib, "TessBaseAPIInit3", &t.init) &&
            resolve(lib, "TessBaseAPISetVariable", &t.set_variable) &&
            resolve(lib, "TessBaseAPISetImage", &t.set_image) &&
            resolve(lib, "TessBaseAPIRecognize", &t.recognize) &&
            resolve(lib, "TessBaseAPIGetUTF8Text", &t.utf8_text) &&
            resolve(lib, "TessDeleteText", &t.delete_text) &&
            resolve(lib, "TessBaseAPIClear", &t.clear) &&
            resolve(lib, "TessBaseAPIEnd", &t.end) &&
            resolve(lib, "TessMonitorCreate", &t.monitor_create) &&
            resolve(lib, "TessMonitorDelete", &t.monitor_delete) &&
            resolve(lib, "TessMonitorSetDeadlineMSecs", &t.monitor_deadline) &&
            resolve(lib, "TessMonitorSetCancelFunc", &t.monitor_cancel) &&
            resolve(lib, "TessMonitorSetCancelThis", &t.monitor_cancel_this) &&
            resolve(lib, "setMsgSeverity", &t.lept_severity);
  // The library stays loaded for the life of the process either way: its
  // constructors have run, and unloading it buys nothing.
  if (!ok) return;
  // leptonica, under Tesseract, would say its troubles on standard error:
  // the reading's own answer says them once, in our words.
  t.lept_severity(L_SEVERITY_NONE);
  g_tess = &t;
}

const Tess *tess(std::string *why) {
  std::call_once(g_once, load);
  if (g_tess == nullptr) *why = g_load_error;
  return g_tess;
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Where the language data lies: $TESSDATA_PREFIX as Tesseract itself reads
// it, else Debian's place for Tesseract 5.
std::string tessdata_dir() {
  const char *env = getenv("TESSDATA_PREFIX");
  if (env != nullptr && env[0] != '\0') return env;
  for (const char *d : {"/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tessdata"}) {
    if (is_dir(d)) return d;
  }
  return "/usr/share/tesseract-ocr/5/tessdata";
}

bool cancelled(void *flag, int) {
  return static_cast<const std::atomic<bool> *>(flag)->load(std::memory_order_relaxed);
}

}  // namespace

bool ocr_built() { return true; }

std::string ocr_unavailable(const std::vector<std::string> &languages) {
  std::string why = ocr_missing_language(languages);
  if (why.empty()) tess(&why);
  return why;
}

// Looks at the data files alone, without loading the library: the config
// file is read by every command.
std::string ocr_missing_language(const std::vector<std::string> &languages) {
  if (languages.empty()) return "no language is named";
  std::string dir = tessdata_dir();
  for (const std::string &lang : languages) {
    bool plain = !lang.empty();
    for (char c : lang) plain = plain && (isalnum(static_cast<unsigned char>(c)) || c == '_');
    struct stat st;
    if (!plain || stat((dir + "/" + lang + ".traineddata").c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
      return "no language data for " + lang + " in " + dir + ": install " +
             ocr_language_package(lang);
    }
  }
  return "";
}

OcrReader::OcrReader(std::vector<std::string> languages) : languages_(std::move(languages)) {}

OcrReader::~OcrReader() {
  if (api_ != nullptr) {
    std::string why;
    const Tess *t = tess(&why);
    auto *api = static_cast<TessBaseAPI *>(api_);
    t->end(api);
    t->destroy(api);
  }
}

bool OcrReader::start(std::string *why) {
  if (api_ != nullptr) return true;
  if (failed_) {
    *why = failure_;
    return false;
  }
  failure_ = ocr_unavailable(languages_);
  const Tess *t = failure_.empty() ? tess(&failure_) : nullptr;
  if (t != nullptr) {
    TessBaseAPI *api = t->create();
    std::string langs;
    for (const std::string &l : languages_) langs += (langs.empty() ? "" : "+") + l;
    if (api != nullptr &&
        t->init(api, tessdata_dir().c_str(), langs.c_str()) == 0) {
      // Tesseract's own remarks (the resolution it guesses, say) are of no
      // use to the user, and a watcher's log is no place for them.
      t->set_variable(api, "debug_file", "/dev/null");
      // Screenshots carry no resolution; Tesseract reads them best at the
      // resolution of a screen's text rendered large, and says less.
      t->set_variable(api, "user_defined_dpi", "144");
      api_ = api;
      return true;
    }
    if (api != nullptr) t->destroy(api);
    failure_ = "Tesseract could not start with the languages " + langs;
  }
  failed_ = true;
  *why = failure_;
  return false;
}

bool OcrReader::read(std::string_view png, int deadline_ms, std::string *words,
                     std::string *why, const std::atomic<bool> *cancel) {
  words->clear();
  if (!start(why)) return false;
  std::string ignored;
  const Tess *t = tess(&ignored);
  auto *api = static_cast<TessBaseAPI *>(api_);
  long started = now_ms();
  // Decoded here rather than by leptonica, which would let libpng say on
  // standard error what is wrong with a damaged file.
  GreyImage image;
  if (!decode_png(png, &image, kOcrMaxPixels, why)) return false;
  t->set_image(api, image.pixels.data(), static_cast<int>(image.width),
               static_cast<int>(image.height), 1, static_cast<int>(image.width));
  ETEXT_DESC *monitor = t->monitor_create();
  t->monitor_deadline(monitor, deadline_ms);
  static const std::atomic<bool> never{false};
  t->monitor_cancel(monitor, cancelled);
  t->monitor_cancel_this(monitor, const_cast<std::atomic<bool> *>(cancel ? cancel : &never));
  int rc = t->recognize(api, monitor);
  t->monitor_delete(monitor);
  long ms = now_ms() - started;
  bool ok = false;
  if (cancel != nullptr && cancel->load()) {
    *why = "the reading was stopped";
  } else if (rc != 0 || ms > deadline_ms) {
    char secs[32];
    snprintf(secs, sizeof secs, "%g", deadline_ms / 1000.0);
    *why = std::string("reading it took longer than ") + secs + " s";
  } else {
    char *text = t->utf8_text(api);
    if (text != nullptr) {
      *words = label_from_text(text, kOcrLabelBytes);
      t->delete_text(text);
    }
    ok = true;
  }
  t->clear(api);
  return ok;
}

#endif

}  // namespace host
