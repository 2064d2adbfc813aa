// The frames that a command and the server of its store (cli_server.h)
// exchange over the server's socket, as pure functions of bytes: nothing
// here reads, writes or allocates beyond the strings it returns, so that a
// fuzzer can drive the parser with any byte sequence.
//
// A frame is a type byte, the length of its payload (4 bytes, little-endian)
// and the payload. A request, and the server's description of itself, are a
// payload of fields: a tag byte, a length (4 bytes, little-endian), bytes.
//
//   command                          server
//   Q request (version, arguments,
//     directory, environment, input)
//                                    Y ready: the request is whole and will
//                                      run when the command says go
//                                    (or N not served: the command runs
//                                      itself; R refused: malformed)
//   G go
//                                    O and E: standard output and standard
//                                      error, in the order they were written
//                                    X exit status
//
// Nothing runs before go, so a command that gives up waiting for ready can
// run itself without the server running it too. A status request (field S)
// is answered with I, the server's description, and nothing runs.
#ifndef QUILLMAR_CLI_WIRE_H
#define QUILLMAR_CLI_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmar_clip.h"

namespace host::wire {

constexpr size_t kHeaderBytes = 5;
// Standard input as the commands keep it: one byte beyond the image cap.
constexpr size_t kMaxInput = size_t{CLIP_IMAGE_CAP} + 1;
// The largest request: the input, and room for a command line as long as
// Linux allows (2 MiB), the directory and the environment.
constexpr size_t kMaxRequest = kMaxInput + (4u << 20);
constexpr size_t kMaxArgs = 4096;
// The largest frame of output; longer output comes in several.
constexpr size_t kMaxChunk = 1u << 20;
// The largest answer a command accepts: more than any command prints (an
// image of CLIP_IMAGE_CAP bytes on standard output, with room to spare).
constexpr size_t kMaxAnswer = 64u << 20;

// Frame types.
constexpr char kRequest = 'Q';
constexpr char kGo = 'G';
constexpr char kReady = 'Y';
constexpr char kNotServed = 'N';
constexpr char kRefused = 'R';
constexpr char kInfo = 'I';
constexpr char kOut = 'O';
constexpr char kErr = 'E';
constexpr char kExit = 'X';

// The environment settings that change what a command does; a request
// carries each that the command's process has, and the server runs the
// command with exactly these set (the others of this list unset).
inline constexpr const char *kEnvNames[] = {
    "CLIPBOARD_STATE", "HOME", "XDG_CONFIG_HOME",          "XDG_DATA_HOME",
    "COLUMNS",         "TZ",   "QUILLMAR_OCR_DEADLINE_MS", "TESSDATA_PREFIX"};
bool forwarded_env_name(std::string_view name);

struct Frame {
  char type = 0;
  std::string_view payload;
};

enum class Scan {
  partial,    // more bytes are needed
  whole,      // *frame is the first frame, *used bytes long
  too_large,  // it announces more than max_payload bytes
};
// The first frame of buf.
Scan scan_frame(std::string_view buf, size_t max_payload, Frame *frame, size_t *used);

void append_frame(std::string *out, char type, std::string_view payload);
std::string exit_payload(int status);
bool parse_exit(std::string_view payload, int *status);

struct Request {
  std::string version;
  bool status = false;  // asks only who serves; nothing runs
  std::vector<std::string> args;  // the command line after the program's name
  std::string cwd;                // absolute
  // Each of kEnvNames that the command's process has, with its value.
  std::vector<std::pair<std::string, std::string>> env;
  bool has_input = false;
  std::string input;
  bool stdin_terminal = false;
  bool stdout_terminal = false;
  uint32_t columns = 0;  // of the terminal on standard output; 0 when unknown
  uint32_t umask = 077;
};

std::string encode_request(const Request &r);
// False, with *why (which never quotes the request's bytes), when payload
// is not a well-formed request: a field cut short, an unknown or repeated
// field, no version first, a bad value.
bool decode_request(std::string_view payload, Request *r, std::string *why);

// Who serves a store: the payload of I, and of N with the reason it gives.
struct ServerInfo {
  std::string version;
  int64_t pid = 0;
  int64_t since = 0;       // when it started, in seconds since the epoch
  uint64_t captures = 0;   // clips it has recorded since
  std::string reason;      // N only: why it does not serve the request
};

std::string encode_info(const ServerInfo &info);
bool decode_info(std::string_view payload, ServerInfo *info);

}  // namespace host::wire

#endif  // QUILLMAR_CLI_WIRE_H
