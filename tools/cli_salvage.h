// Reading the clips out of an index that the library could not load: the
// records that are still whole, wherever the damage is, and where and why
// the others were lost. A pure function of the file's bytes, so that it can
// be tested and fuzzed on its own; recover (cli_recover.cpp) checks the
// image files and records what this finds.
#ifndef QUILLMAR_CLI_SALVAGE_H
#define QUILLMAR_CLI_SALVAGE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One whole clip record, as the library wrote it.
struct SalvagedClip {
  size_t record = 0;  // its number among the records found, from 1
  size_t offset = 0;  // where its "{" is in the file
  int id = 0;
  bool image = false;
  bool pinned = false;
  // Its fingerprint: 16 hexadecimal digits, or empty for a record that
  // never had one (a hand-written index). A text's is checked here; an
  // image's against its file, by the caller.
  std::string hash;
  std::string text;            // text clips
  bool has_label = false;      // image clips
  std::string label, preview;  // image clips
};

// A stretch of the file that held (part of) a clip which cannot be given
// back.
struct SalvageLoss {
  size_t record = 0;  // 0 when no record start was found in it
  size_t offset = 0;  // where it starts
  size_t end = 0;     // and ends (exclusive)
  std::string why;    // "the file ends inside it", ...
};

struct Salvage {
  std::vector<SalvagedClip> clips;  // in the file's order: oldest first
  std::vector<SalvageLoss> lost;    // in the file's order
  size_t records = 0;               // record starts found
  // The file stops before the end of its list of clips, after a whole
  // record or in the header: whatever followed is gone without a trace.
  bool cut_short = false;
  size_t cut_at = 0;  // where the bytes stop making sense
};

// Finds every record of the "clips" list, however damaged the file around
// it: a record starts at "{" followed by a member of a record ("id", as the
// library writes it, or another), and ends at its
// matching "}" (a line break, which no JSON string holds, also ends a
// string, so that damage inside one record does not swallow the next). Each
// record is parsed alone, as strict JSON in valid UTF-8, and is whole when
// it has every member the library writes and needs to give the clip back:
// an integer "id", a "kind" of "text" or "image", "pinned" (true or false,
// or an integer as the library also reads it) and a string "hash"; a text
// clip's "text", whose bytes match the hash, without NUL and no longer than
// a clip may be; an image clip's "preview", and its "label" when it has one.
// Stretches between records that hold record members are reported lost too.
Salvage salvage_index(std::string_view bytes);

// The library's fingerprint of bytes: 64-bit FNV-1a as 16 lowercase
// hexadecimal digits.
std::string fingerprint(std::string_view bytes);

// The preview the library gives an image of len bytes with that label (or
// none): "[image <len> bytes: <label>]", cut to 127 bytes between two
// characters of the label.
std::string image_preview(size_t len, const std::string *label);

}  // namespace host

#endif  // QUILLMAR_CLI_SALVAGE_H
