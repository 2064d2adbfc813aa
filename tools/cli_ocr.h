// Reading the words of an image clip (a screenshot of an error message, an
// invoice, a terminal) with Tesseract, so that search finds the image by
// them. libtesseract is loaded on first use rather than linked: loading it
// and its dependencies costs about 45 ms, which every command that never
// reads an image would otherwise pay at start.
#ifndef QUILLMAR_CLI_OCR_H
#define QUILLMAR_CLI_OCR_H

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The words become the image's label: white space collapsed to single
// spaces and cut between two characters to at most this many bytes.
constexpr size_t kOcrLabelBytes = 1024;
// Between the label an image's owner gave it and the words read from it.
constexpr const char kOcrLabelSeparator[] = " | ";
// How long one image may take to read; one that takes longer is recorded
// without words. QUILLMAR_OCR_DEADLINE_MS overrides it (for tests).
constexpr int kOcrDeadlineMs = 5000;
int ocr_deadline_ms();
// Images of more pixels than this are not read: decoding one alone takes
// hundreds of megabytes, and a screenshot is far smaller.
constexpr long long kOcrMaxPixels = 40LL * 1000 * 1000;

// The languages read when the config names none.
std::vector<std::string> default_ocr_languages();

// Whether this build can read images at all (it was built against
// libtesseract's headers).
bool ocr_built();

// Why images cannot be read in the given languages, or "" when they can:
// the build has no libtesseract, the library cannot be loaded, or a
// language's data is missing ("no language data for deu: install
// tesseract-ocr-deu").
std::string ocr_unavailable(const std::vector<std::string> &languages);

// The same, for a language whose data is missing only: "" when every
// language has its data, or when images cannot be read at all.
std::string ocr_missing_language(const std::vector<std::string> &languages);

// The Debian package that holds a language's data: "chi_sim" is in
// tesseract-ocr-chi-sim.
std::string ocr_language_package(const std::string &language);

// The label an image gets: the owner's label, if any, then the words.
std::string label_with_words(const std::string &owner_label, const std::string &words);

// One Tesseract engine, initialised on first use for its languages. Not
// shared between threads: each thread that reads makes its own.
class OcrReader {
 public:
  explicit OcrReader(std::vector<std::string> languages);
  ~OcrReader();
  OcrReader(const OcrReader &) = delete;
  OcrReader &operator=(const OcrReader &) = delete;

  // Reads the PNG's words into *words (already collapsed and cut, empty
  // when it holds none) within deadline_ms. False, with *why ("reading it
  // took longer than 5 s", "it is not a whole PNG image (...)"),
  // when it could not be read; *words is then empty. cancel, when set
  // during the reading, stops it early.
  bool read(std::string_view png, int deadline_ms, std::string *words, std::string *why,
            const std::atomic<bool> *cancel = nullptr);

 private:
  bool start(std::string *why);
  std::vector<std::string> languages_;
  // Unused in a build without Tesseract.
  [[maybe_unused]] void *api_ = nullptr;
  [[maybe_unused]] bool failed_ = false;
  std::string failure_;
};

}  // namespace host

#endif  // QUILLMAR_CLI_OCR_H
