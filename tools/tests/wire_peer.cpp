// The other end of a server's socket for tests of cli_server.sh: a client
// that sends exactly the bytes it is given, one that asks properly but goes
// away before go, one that holds a connection open, and servers that answer
// wrongly (another version, nothing, garbage, a vanishing act after go).
//
//   wire_peer send SOCKET [--no-shutdown]     bytes on stdin; prints the answer
//   wire_peer hold SOCKET SECONDS             bytes on stdin, then silence
//   wire_peer ask SOCKET --before-go ARG...   a request of the server's version
//   wire_peer fake SOCKET MODE                other-version|silent|garbage|vanish
//
// What it prints of an answer: one line per frame, its type and length, and
// the text of a refusal or the reason of a not-served answer; "closed" when
// the server closed the connection, "open" when it did not within 10 s.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_wire.h"

namespace {

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "wire_peer: %s\n", what.c_str());
  exit(2);
}

sockaddr_un address(const char *path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) die("socket path too long");
  strcpy(addr.sun_path, path);
  return addr;
}

int connect_to(const char *path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = address(path);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    die(std::string("cannot connect: ") + strerror(errno));
  return fd;
}

std::string read_stdin() {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(0, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

void send_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      printf("send failed after %zu bytes: %s\n", done, strerror(errno));
      return;
    }
    done += static_cast<size_t>(n);
  }
}

// Reads frames until the server closes or 10 s pass; prints them.
void print_answer(int fd, std::string *version = nullptr) {
  std::string buf;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) {
      printf("open\n");
      return;
    }
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      if (!buf.empty()) printf("%zu stray bytes\n", buf.size());
      printf("closed\n");
      return;
    }
    buf.append(chunk, static_cast<size_t>(n));
    host::wire::Frame f;
    size_t used = 0;
    while (host::wire::scan_frame(buf, 1u << 30, &f, &used) == host::wire::Scan::whole) {
      printf("%c %zu", f.type, f.payload.size());
      host::wire::ServerInfo info;
      if (f.type == host::wire::kRefused) printf(" %.*s", static_cast<int>(f.payload.size()),
                                                 f.payload.data());
      if ((f.type == host::wire::kNotServed || f.type == host::wire::kInfo) &&
          host::wire::decode_info(f.payload, &info)) {
        printf(" pid %lld: %s", static_cast<long long>(info.pid), info.reason.c_str());
        if (version != nullptr) *version = info.version;
      }
      printf("\n");
      fflush(stdout);
      buf.erase(0, used);
    }
  }
}

std::string frame(char type, const std::string &payload) {
  std::string out;
  host::wire::append_frame(&out, type, payload);
  return out;
}

// The version of the server at path, from a status request.
std::string server_version(const char *path) {
  int fd = connect_to(path);
  host::wire::Request r;
  r.version = "?";
  r.status = true;
  send_all(fd, frame(host::wire::kRequest, host::wire::encode_request(r)));
  std::string buf;
  char chunk[4096];
  ssize_t n;
  while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) buf.append(chunk, static_cast<size_t>(n));
  close(fd);
  host::wire::Frame f;
  size_t used = 0;
  host::wire::ServerInfo info;
  if (host::wire::scan_frame(buf, 1u << 20, &f, &used) != host::wire::Scan::whole ||
      !host::wire::decode_info(f.payload, &info))
    die("no answer to a status request");
  return info.version;
}

void fake(const char *path, const std::string &mode) {
  unlink(path);
  int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = address(path);
  if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(lfd, 16) != 0)
    die(std::string("cannot listen: ") + strerror(errno));
  printf("listening\n");
  fflush(stdout);
  signal(SIGPIPE, SIG_IGN);
  std::vector<int> held;
  for (;;) {
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    // Reads the whole request first, as a server does.
    std::string buf;
    host::wire::Frame f;
    size_t used = 0;
    char chunk[65536];
    while (host::wire::scan_frame(buf, 1u << 30, &f, &used) != host::wire::Scan::whole) {
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buf.append(chunk, static_cast<size_t>(n));
    }
    if (mode == "other-version") {
      host::wire::ServerInfo info;
      info.version = "quillmar-clip 0.9.0 wire 0";
      info.pid = getpid();
      info.reason = "the server runs another version";
      send_all(fd, frame(host::wire::kNotServed, host::wire::encode_info(info)));
      close(fd);
    } else if (mode == "silent") {
      held.push_back(fd);
    } else if (mode == "garbage") {
      send_all(fd, std::string("\x01\x02garbage that is no frame at all\n", 33));
      close(fd);
    } else if (mode == "vanish") {
      send_all(fd, frame(host::wire::kReady, ""));
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      (void)n;
      close(fd);
    } else {
      die("unknown mode " + mode);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) die("usage: wire_peer send|hold|ask|fake SOCKET ...");
  std::string what = argv[1];
  const char *path = argv[2];
  if (what == "send") {
    std::string bytes = read_stdin();
    int fd = connect_to(path);
    send_all(fd, bytes);
    if (argc < 4 || std::string(argv[3]) != "--no-shutdown") shutdown(fd, SHUT_WR);
    print_answer(fd);
    return 0;
  }
  if (what == "hold" && argc == 4) {
    std::string bytes = read_stdin();
    int fd = connect_to(path);
    send_all(fd, bytes);
    printf("holding\n");
    fflush(stdout);
    struct timespec ts = {atoi(argv[3]), 0};
    nanosleep(&ts, nullptr);
    print_answer(fd);
    return 0;
  }
  if (what == "ask" && argc >= 4 && std::string(argv[3]) == "--before-go") {
    host::wire::Request r;
    r.version = server_version(path);
    for (int i = 4; i < argc; ++i) r.args.push_back(argv[i]);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) die("no directory");
    r.cwd = cwd;
    int fd = connect_to(path);
    send_all(fd, frame(host::wire::kRequest, host::wire::encode_request(r)));
    char chunk[64];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    printf("%s\n", n == 5 && chunk[0] == host::wire::kReady ? "ready" : "not ready");
    close(fd);
    return 0;
  }
  if (what == "fake" && argc == 4) fake(path, argv[3]);
  die("usage: wire_peer send|hold|ask|fake SOCKET ...");
}
