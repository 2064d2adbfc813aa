// Fuzz target: arbitrary bytes as what reaches the server's socket (and
// what reaches a command from a server). The frame scanner never reads
// beyond the bytes nor past a frame's announced end; every request the
// parser accepts has the bounds it promises and comes back the same from
// its encoding; every refusal says why; a server's description and an exit
// status come back the same too.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "cli_wire.h"
#include "fuzz_support.h"

namespace w = host::wire;

namespace {

void same_request(const w::Request &a, const w::Request &b) {
  FUZZ_CHECK(a.version == b.version && a.status == b.status && a.args == b.args &&
                 a.cwd == b.cwd && a.env == b.env && a.has_input == b.has_input &&
                 a.input == b.input && a.stdin_terminal == b.stdin_terminal &&
                 a.stdout_terminal == b.stdout_terminal && a.columns == b.columns &&
                 a.umask == b.umask,
             "a request changed on its way through encode and decode");
}

void check_payload(std::string_view payload) {
  w::Request r;
  std::string why;
  if (w::decode_request(payload, &r, &why)) {
    FUZZ_CHECK(why.empty(), "a reason for an accepted request: %s", why.c_str());
    FUZZ_CHECK(r.args.size() <= w::kMaxArgs, "%zu arguments", r.args.size());
    FUZZ_CHECK(r.input.size() <= w::kMaxInput, "an input of %zu bytes", r.input.size());
    FUZZ_CHECK(r.status || (!r.args.empty() && !r.cwd.empty() && r.cwd[0] == '/'),
               "a request to run without a command or a directory");
    FUZZ_CHECK(r.umask <= 0777 && r.columns <= 100000, "umask %o, %u columns", r.umask,
               r.columns);
    for (auto &[name, value] : r.env)
      FUZZ_CHECK(w::forwarded_env_name(name), "environment %s", name.c_str());
    w::Request again;
    FUZZ_CHECK(w::decode_request(w::encode_request(r), &again, &why), "re-encoded: %s",
               why.c_str());
    same_request(r, again);
  } else {
    FUZZ_CHECK(!why.empty(), "a refusal without a reason");
  }
  w::ServerInfo info, again;
  if (w::decode_info(payload, &info)) {
    FUZZ_CHECK(w::decode_info(w::encode_info(info), &again), "re-encoded description");
    FUZZ_CHECK(info.version == again.version && info.pid == again.pid &&
                   info.since == again.since && info.captures == again.captures &&
                   info.reason == again.reason,
               "a description changed on its way through encode and decode");
  }
  int status = -1;
  if (w::parse_exit(payload, &status)) {
    FUZZ_CHECK(status >= 0 && status <= 255, "exit status %d", status);
    int back = -1;
    FUZZ_CHECK(w::parse_exit(w::exit_payload(status), &back) && back == status,
               "exit status %d came back as %d", status, back);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  // As the server and a command read: frame after frame, under the bounds
  // each of them sets.
  for (size_t max : {size_t{0}, size_t{64}, w::kMaxChunk, w::kMaxRequest}) {
    std::string_view rest = bytes;
    for (int k = 0; k < 256; ++k) {
      w::Frame f;
      size_t used = 0;
      w::Scan scan = w::scan_frame(rest, max, &f, &used);
      if (scan == w::Scan::partial) {
        FUZZ_CHECK(rest.size() < w::kHeaderBytes || rest.size() < w::kHeaderBytes + max,
                   "partial with %zu bytes under a bound of %zu", rest.size(), max);
        break;
      }
      if (scan == w::Scan::too_large) {
        FUZZ_CHECK(rest.size() >= w::kHeaderBytes, "too large before a whole header");
        break;
      }
      FUZZ_CHECK(used >= w::kHeaderBytes && used <= rest.size(), "a frame of %zu bytes in %zu",
                 used, rest.size());
      FUZZ_CHECK(f.payload.size() == used - w::kHeaderBytes && f.payload.size() <= max,
                 "a payload of %zu bytes in a frame of %zu", f.payload.size(), used);
      FUZZ_CHECK(f.payload.data() == rest.data() + w::kHeaderBytes, "the payload moved");
      std::string framed;
      w::append_frame(&framed, f.type, f.payload);
      FUZZ_CHECK(framed == rest.substr(0, used), "a frame came back other than it was");
      check_payload(f.payload);
      rest.remove_prefix(used);
    }
  }
  check_payload(bytes);
  return 0;
}
