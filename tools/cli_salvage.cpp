#include "cli_salvage.h"

#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "quillmar_clip.h"

namespace host {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skip_space(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

constexpr const char *kMembers[] = {"\"id\"",        "\"ts\"",     "\"kind\"",
                                    "\"preview\"",   "\"pinned\"", "\"hash\"",
                                    "\"truncated\"", "\"text\"",   "\"label\""};

// Whether a record starts at i: "{", then one of the members of a record
// (the library writes "id" first; a program that rewrote the index may
// have put them in another order). Inside a JSON string a quotation mark is
// always escaped, so these bytes cannot be part of a clip's text, preview
// or label.
bool record_starts_at(std::string_view s, size_t i) {
  size_t k = skip_space(s, i + 1);
  if (k >= s.size() || s[k] != '"') return false;
  for (const char *member : kMembers) {
    size_t n = strlen(member);
    if (s.compare(k, n, member) != 0) continue;
    k = skip_space(s, k + n);
    return k < s.size() && s[k] == ':';
  }
  return false;
}

std::vector<size_t> record_starts(std::string_view s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < s.size(); ++i) {
    const void *brace = memchr(s.data() + i, '{', s.size() - i);
    if (brace == nullptr) break;
    i = static_cast<size_t>(static_cast<const char *>(brace) - s.data());
    if (record_starts_at(s, i)) starts.push_back(i);
  }
  return starts;
}

// The end (one past its "}") of the record that starts at begin, or 0 when
// it does not close before limit.
size_t record_end(std::string_view s, size_t begin, size_t limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t p = begin; p < limit; ++p) {
    char c = s[p];
    if (in_string) {
      if (c == '\\') {
        // The escaped byte cannot end the string, but a line break still
        // ends the damage.
        if (p + 1 < limit && s[p + 1] != '\n') ++p;
      } else if (c == '"' || c == '\n') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return p + 1;
    }
  }
  return 0;
}

// Whether a stretch between records holds members of a record: the
// remains of one whose start is damaged.
bool holds_record_members(std::string_view gap) {
  for (const char *member : kMembers) {
    if (gap.find(member) != std::string_view::npos) return true;
  }
  return false;
}

// Whether the stretch after the last record ends the list and the index:
// a "]", and a "}" as the last byte that is not white space (other members
// of the index may come between them).
bool ends_index(std::string_view tail) {
  size_t close = tail.find(']');
  if (close == std::string_view::npos) return false;
  size_t last = tail.size();
  while (last > close && is_space(tail[last - 1])) --last;
  return last > close + 1 && tail[last - 1] == '}';
}

struct DocFree {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

int low32(yyjson_val *v) {
  uint64_t raw =
      yyjson_is_uint(v) ? yyjson_get_uint(v) : static_cast<uint64_t>(yyjson_get_sint(v));
  return static_cast<int>(static_cast<uint32_t>(raw));
}

std::string str_of(yyjson_val *v) {
  return std::string(yyjson_get_str(v), yyjson_get_len(v));
}

// Reads one record's bytes; on failure *why says what makes it less than
// whole.
bool read_record(std::string_view bytes, size_t offset, SalvagedClip *c,
                 std::string *why) {
  yyjson_read_err err;
  std::unique_ptr<yyjson_doc, DocFree> doc(
      yyjson_read_opts(const_cast<char *>(bytes.data()), bytes.size(), 0, nullptr, &err));
  if (!doc) {
    if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
      *why = "out of memory";
    } else {
      *why = std::string("it is not valid JSON (") + err.msg + " at byte " +
             std::to_string(offset + err.pos) + ")";
    }
    return false;
  }
  yyjson_val *obj = yyjson_doc_get_root(doc.get());
  yyjson_val *id = yyjson_obj_get(obj, "id");
  if (!yyjson_is_int(id)) {
    *why = "its \"id\" is not an integer";
    return false;
  }
  c->id = low32(id);
  yyjson_val *kind = yyjson_obj_get(obj, "kind");
  c->image = yyjson_equals_str(kind, "image");
  if (!c->image && !yyjson_equals_str(kind, "text")) {
    *why = "its \"kind\" is not \"text\" or \"image\"";
    return false;
  }
  yyjson_val *pinned = yyjson_obj_get(obj, "pinned");
  if (yyjson_is_bool(pinned)) {
    c->pinned = yyjson_get_bool(pinned);
  } else if (yyjson_is_int(pinned)) {
    c->pinned = low32(pinned) != 0;
  } else {
    *why = pinned == nullptr ? "it has no \"pinned\""
                             : "its \"pinned\" is not true or false";
    return false;
  }
  yyjson_val *hash = yyjson_obj_get(obj, "hash");
  if (!yyjson_is_str(hash)) {
    *why = "it has no fingerprint (\"hash\") to check its content against";
    return false;
  }
  c->hash = str_of(hash);
  if (!c->image) {
    yyjson_val *text = yyjson_obj_get(obj, "text");
    if (!yyjson_is_str(text)) {
      *why = "it has no \"text\"";
      return false;
    }
    c->text = str_of(text);
    if (c->text.find('\0') != std::string::npos) {
      *why = "its text holds a NUL character";
      return false;
    }
    if (c->text.size() > CLIP_TEXT_CAP) {
      *why = "its text is longer than a clip may be";
      return false;
    }
    if (!c->hash.empty() && fingerprint(c->text) != c->hash) {
      *why = "its text does not match its fingerprint (\"hash\")";
      return false;
    }
    return true;
  }
  yyjson_val *preview = yyjson_obj_get(obj, "preview");
  if (!yyjson_is_str(preview)) {
    *why = "it has no \"preview\" to check its label against";
    return false;
  }
  c->preview = str_of(preview);
  yyjson_val *label = yyjson_obj_get(obj, "label");
  if (label != nullptr && !yyjson_is_null(label)) {
    if (!yyjson_is_str(label)) {
      *why = "its \"label\" is not a string";
      return false;
    }
    c->has_label = true;
    c->label = str_of(label);
    if (c->label.find('\0') != std::string::npos) {
      *why = "its label holds a NUL character";
      return false;
    }
    return true;
  }
  // Without a label, a member of another name may be the label's, its name
  // damaged (the preview of an empty label is that of none).
  size_t i, max;
  yyjson_val *key, *value;
  yyjson_obj_foreach(obj, i, max, key, value) {
    std::string quoted = "\"" + str_of(key) + "\"";
    bool known = false;
    for (const char *member : kMembers) known |= quoted == member;
    if (!known) {
      *why =
          "it has no label but a member " + quoted + ", which may be its label damaged";
      return false;
    }
  }
  return true;
}

}  // namespace

Salvage salvage_index(std::string_view s) {
  Salvage out;
  std::vector<size_t> starts = record_starts(s);
  out.records = starts.size();
  size_t covered = 0;  // the end of the last record, or of the header
  bool last_closed = true;
  auto gap = [&](size_t from, size_t to) {
    if (to > from && holds_record_members(s.substr(from, to - from))) {
      out.lost.push_back({0, from, to, "the remains of a record whose start is damaged"});
    }
  };
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t begin = starts[k];
    size_t limit = k + 1 < starts.size() ? starts[k + 1] : s.size();
    // Before the first record, the header ("next_id", "clips") holds no
    // record members.
    gap(covered, begin);
    size_t end = record_end(s, begin, limit);
    if (end == 0) {
      out.lost.push_back({k + 1, begin, limit,
                          limit == s.size() ? "the file ends inside it"
                                            : "it does not end before the next record"});
      covered = limit;
      last_closed = false;
      continue;
    }
    last_closed = true;
    covered = end;
    SalvagedClip c;
    c.record = k + 1;
    c.offset = begin;
    std::string why;
    bool read = read_record(s.substr(begin, end - begin), begin, &c, &why);
    // A "}" put in by damage ends a record early, before its last member:
    // an image's label, the one member that may be missing.
    if (read && c.image && !c.has_label &&
        s.substr(end, limit - end).find("\"label\"") != std::string_view::npos) {
      read = false;
      why = "it ends early, and a label follows it";
    }
    if (read) {
      out.clips.push_back(std::move(c));
    } else {
      out.lost.push_back({k + 1, begin, end, why});
    }
  }
  if (last_closed) gap(covered, s.size());
  if (last_closed && !s.empty()) {
    std::string_view tail = s.substr(covered);
    if (starts.empty()) {
      // The header, then an empty list: "... "clips": []}".
      size_t open = s.find('[');
      tail = open == std::string_view::npos ? std::string_view() : s.substr(open + 1);
    }
    out.cut_short = !ends_index(tail);
    out.cut_at = covered;
  }
  return out;
}

std::string fingerprint(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

std::string image_preview(size_t len, const std::string *label) {
  constexpr size_t kMax = 127;
  bool named = label != nullptr && !label->empty();
  std::string prefix = "[image " + std::to_string(len) + " bytes";
  if (!named) return prefix + "]";
  prefix += ": ";
  std::string full = prefix + *label + "]";
  if (full.size() <= kMax) return full;
  // Cut between two characters of the label, as the library does.
  size_t n = kMax;
  while (n > prefix.size() && (static_cast<unsigned char>(full[n]) & 0xC0) == 0x80) --n;
  return full.substr(0, n);
}

}  // namespace host
