// The server of a store: a watcher (or `serve`) keeps the store's history
// loaded and runs the commands of the user's other quillmar-clip processes
// in its own process, so that none of them loads a large history itself.
//
// It listens on a Unix socket private to the user, one per store, in
// $XDG_RUNTIME_DIR/quillmar-clip (or /tmp/quillmar-clip-<uid> without
// XDG_RUNTIME_DIR), and answers only its own user (SO_PEERCRED). Requests
// are read and answers written without blocking, within deadlines, from
// the watcher's own event loop; one command runs at a time, taking the
// store's lock as it does in a process of its own. cli_wire.h has the
// frames, cli_client.h the other end.
#ifndef QUILLMAR_CLI_SERVER_H
#define QUILLMAR_CLI_SERVER_H

#include <poll.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "cli_wire.h"

namespace host {

// The directory of the sockets, made (mode 0700) when create and it is
// missing. "" with *why when it is not a directory of this user's that no
// one else may enter.
std::string socket_dir(bool create, std::string *why);
// The socket of the store in dir, named after its resolved path; "" with
// *why when there is none to be had (no such store, no socket directory).
std::string socket_path(const std::string &store, bool create, std::string *why);

// What both ends must share to talk: the program's version and the build
// identities of the program and of the library.
const std::string &wire_version();

// Runs a command line (the arguments after the program's name) in this
// process, as main would: main hands it over before anything serves.
using CommandRunner = int (*)(const std::vector<std::string> &args);
void set_command_runner(CommandRunner runner);
// What the runner returns for a command line that this process does not
// run for others: the command then runs in its own process.
constexpr int kNotServed = -1;
// Whether this process serves the store in dir, and a command it runs for
// another process may use it.
bool serves_store(const std::string &dir);

// Who serves this process's store when this process does: for stats.
bool own_server_info(wire::ServerInfo *info);

class Server {
 public:
  Server();
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  enum class Start {
    serving,
    running,   // another server holds the store: *why says so, with its pid
    unusable,  // no socket can be had: *why says why
  };
  // Takes the socket of the store in dir (a stale one, left by a server
  // that is gone, is replaced).
  Start start(const std::string &store, std::string *why);
  const std::string &path() const;

  // The descriptors to wait for, appended to *fds, and how long poll may
  // wait before a deadline passes (-1: none).
  void add_poll_fds(std::vector<struct pollfd> *fds);
  int poll_timeout() const;
  // Reads, runs and answers what is ready: fds[0..n) are what
  // add_poll_fds added, after poll. Never blocks.
  void handle(const struct pollfd *fds, size_t n);

  // Takes no new clients and removes the socket; the answers under way
  // are sent within ms milliseconds.
  void stop(long ms);

  struct State;

 private:
  std::unique_ptr<State> s_;
};

// Removes the socket of the server of this process, for an exit that
// skips the server's own end (a lost display).
void remove_server_socket();

// `serve`: runs the server of the store in dir, without watching the
// clipboard, until SIGINT, SIGTERM or SIGHUP.
int run_serve(const std::string &store);

}  // namespace host

#endif  // QUILLMAR_CLI_SERVER_H
