#include "cli_wire.h"

#include <cstring>

namespace host::wire {
namespace {

void put_u32(std::string *out, uint32_t v) {
  char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
               static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  out->append(b, 4);
}

uint32_t get_u32(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

void put_u64(std::string *out, uint64_t v) {
  put_u32(out, static_cast<uint32_t>(v & 0xFFFFFFFFu));
  put_u32(out, static_cast<uint32_t>(v >> 32));
}

uint64_t get_u64(std::string_view s) {
  return get_u32(s) | (static_cast<uint64_t>(get_u32(s.substr(4))) << 32);
}

void put_field(std::string *out, char tag, std::string_view bytes) {
  out->push_back(tag);
  put_u32(out, static_cast<uint32_t>(bytes.size()));
  out->append(bytes);
}

// Walks the fields of a payload.
class Fields {
 public:
  explicit Fields(std::string_view payload) : rest_(payload) {}
  // The next field; false at the end or, with *cut, when it is cut short.
  bool next(char *tag, std::string_view *bytes, bool *cut) {
    *cut = false;
    if (rest_.empty()) return false;
    if (rest_.size() < 5) {
      *cut = true;
      return false;
    }
    uint32_t len = get_u32(rest_.substr(1));
    if (len > rest_.size() - 5) {
      *cut = true;
      return false;
    }
    *tag = rest_[0];
    *bytes = rest_.substr(5, len);
    rest_.remove_prefix(5 + size_t{len});
    return true;
  }

 private:
  std::string_view rest_;
};

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

bool forwarded_env_name(std::string_view name) {
  for (const char *n : kEnvNames) {
    if (name == n) return true;
  }
  return false;
}

Scan scan_frame(std::string_view buf, size_t max_payload, Frame *frame, size_t *used) {
  if (buf.size() < kHeaderBytes) return Scan::partial;
  uint32_t len = get_u32(buf.substr(1));
  if (len > max_payload) return Scan::too_large;
  if (buf.size() - kHeaderBytes < len) return Scan::partial;
  frame->type = buf[0];
  frame->payload = buf.substr(kHeaderBytes, len);
  *used = kHeaderBytes + size_t{len};
  return Scan::whole;
}

void append_frame(std::string *out, char type, std::string_view payload) {
  out->push_back(type);
  put_u32(out, static_cast<uint32_t>(payload.size()));
  out->append(payload);
}

std::string exit_payload(int status) {
  std::string out;
  put_u32(&out, static_cast<uint32_t>(status));
  return out;
}

bool parse_exit(std::string_view payload, int *status) {
  if (payload.size() != 4) return false;
  uint32_t v = get_u32(payload);
  if (v > 255) return false;
  *status = static_cast<int>(v);
  return true;
}

std::string encode_request(const Request &r) {
  std::string out;
  put_field(&out, 'V', r.version);
  if (r.status) put_field(&out, 'S', "");
  for (auto &a : r.args) put_field(&out, 'A', a);
  if (!r.cwd.empty()) put_field(&out, 'D', r.cwd);
  for (auto &[name, value] : r.env) put_field(&out, 'E', name + "=" + value);
  if (r.has_input) put_field(&out, 'I', r.input);
  std::string term;
  term.push_back(static_cast<char>((r.stdin_terminal ? 1 : 0) | (r.stdout_terminal ? 2 : 0)));
  put_u32(&term, r.columns);
  put_field(&out, 'T', term);
  std::string mask;
  put_u32(&mask, r.umask);
  put_field(&out, 'M', mask);
  return out;
}

bool decode_request(std::string_view payload, Request *r, std::string *why) {
  *r = Request{};
  Fields fields(payload);
  char tag = 0;
  std::string_view bytes;
  bool cut = false, first = true, seen_cwd = false, seen_term = false, seen_mask = false;
  while (fields.next(&tag, &bytes, &cut)) {
    if (first != (tag == 'V')) {
      *why = first ? "it does not start with the version" : "it names its version twice";
      return false;
    }
    first = false;
    switch (tag) {
      case 'V':
        if (bytes.size() > 256) {
          *why = "its version is longer than 256 bytes";
          return false;
        }
        r->version.assign(bytes);
        break;
      case 'S':
        if (r->status || !bytes.empty()) {
          *why = "its status field is repeated or not empty";
          return false;
        }
        r->status = true;
        break;
      case 'A':
        if (r->args.size() >= kMaxArgs || has_nul(bytes)) {
          *why = r->args.size() >= kMaxArgs
                     ? "it has more than " + std::to_string(kMaxArgs) + " arguments"
                     : "an argument holds a NUL byte";
          return false;
        }
        r->args.emplace_back(bytes);
        break;
      case 'D':
        if (seen_cwd || bytes.empty() || bytes[0] != '/' || has_nul(bytes) ||
            bytes.size() > 4095) {
          *why = seen_cwd ? "it names its directory twice" : "its directory is not a path";
          return false;
        }
        seen_cwd = true;
        r->cwd.assign(bytes);
        break;
      case 'E': {
        size_t eq = bytes.find('=');
        if (eq == std::string_view::npos || !forwarded_env_name(bytes.substr(0, eq)) ||
            has_nul(bytes) || bytes.size() > 65536) {
          *why = "an environment setting is not one a command takes";
          return false;
        }
        std::string name(bytes.substr(0, eq));
        for (auto &e : r->env) {
          if (e.first == name) {
            *why = "it sets " + name + " twice";
            return false;
          }
        }
        r->env.emplace_back(std::move(name), std::string(bytes.substr(eq + 1)));
        break;
      }
      case 'I':
        if (r->has_input || bytes.size() > kMaxInput) {
          *why = r->has_input ? "it has two inputs"
                              : "its input is longer than " + std::to_string(kMaxInput) +
                                    " bytes";
          return false;
        }
        r->has_input = true;
        r->input.assign(bytes);
        break;
      case 'T':
        if (seen_term || bytes.size() != 5 || (static_cast<unsigned char>(bytes[0]) & ~3u)) {
          *why = "its terminal field is malformed";
          return false;
        }
        seen_term = true;
        r->stdin_terminal = (bytes[0] & 1) != 0;
        r->stdout_terminal = (bytes[0] & 2) != 0;
        r->columns = get_u32(bytes.substr(1));
        if (r->columns > 100000) {
          *why = "its terminal is wider than 100000 columns";
          return false;
        }
        break;
      case 'M':
        if (seen_mask || bytes.size() != 4 || get_u32(bytes) > 0777) {
          *why = "its umask field is malformed";
          return false;
        }
        seen_mask = true;
        r->umask = get_u32(bytes);
        break;
      default:
        *why = "it has a field of unknown type " + std::to_string(static_cast<unsigned char>(tag));
        return false;
    }
  }
  if (cut) {
    *why = "a field is cut short";
    return false;
  }
  if (first) {
    *why = "it is empty";
    return false;
  }
  if (!r->status && (!seen_cwd || r->args.empty())) {
    *why = "it names no command or no directory";
    return false;
  }
  return true;
}

std::string encode_info(const ServerInfo &info) {
  std::string out, n;
  put_field(&out, 'V', info.version);
  put_u64(&n, static_cast<uint64_t>(info.pid));
  put_field(&out, 'P', n);
  n.clear();
  put_u64(&n, static_cast<uint64_t>(info.since));
  put_field(&out, 'S', n);
  n.clear();
  put_u64(&n, info.captures);
  put_field(&out, 'C', n);
  if (!info.reason.empty()) put_field(&out, 'R', info.reason);
  return out;
}

bool decode_info(std::string_view payload, ServerInfo *info) {
  *info = ServerInfo{};
  Fields fields(payload);
  char tag = 0;
  std::string_view bytes;
  bool cut = false, version = false;
  while (fields.next(&tag, &bytes, &cut)) {
    bool number = tag == 'P' || tag == 'S' || tag == 'C';
    if (number && bytes.size() != 8) return false;
    switch (tag) {
      case 'V':
        version = true;
        info->version.assign(bytes.substr(0, 256));
        break;
      case 'P':
        info->pid = static_cast<int64_t>(get_u64(bytes));
        break;
      case 'S':
        info->since = static_cast<int64_t>(get_u64(bytes));
        break;
      case 'C':
        info->captures = get_u64(bytes);
        break;
      case 'R':
        info->reason.assign(bytes.substr(0, 4096));
        break;
      default:
        // A later version may say more about itself.
        break;
    }
  }
  return !cut && version;
}

}  // namespace host::wire
