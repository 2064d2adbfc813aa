// A command's side of the server (cli_server.h): it finds the socket of its
// store, hands over its command line, input, directory and the environment
// settings that matter, and prints what the server's run of it printed,
// byte for byte. When no server answers in time, or one of another
// version, the command runs by itself, as it would without a server.
#ifndef QUILLMAR_CLI_CLIENT_H
#define QUILLMAR_CLI_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class Asked {
  answered,    // the server ran the command: *answer holds what it printed
  not_served,  // nothing ran: the command runs by itself
  uncertain,   // the server went away while the command ran
};

struct Answer {
  std::string frames;  // standard output and standard error, as written
  int status = 0;
};

// One request to the server of a store.
class ServerConnection {
 public:
  ServerConnection() = default;
  ~ServerConnection();
  ServerConnection(const ServerConnection &) = delete;
  ServerConnection &operator=(const ServerConnection &) = delete;

  // Connects to the socket of the store in dir; false at once when nothing
  // there answers (no socket, a stale one, one of another user).
  bool open(const std::string &store);
  // Runs the command line args (after the program's name) in the server,
  // with input (nullptr: none) on its standard input.
  Asked run(const std::vector<std::string> &args, const std::string *input,
            Answer *answer);
  // The server's pid, from the connection.
  long pid() const { return pid_; }

 private:
  int fd_ = -1;
  long pid_ = 0;
};

// Writes what the server's run printed to standard output and standard
// error, in the order it was written; the command's exit status.
int relay(const Answer &answer);

// A step of a command that only reads the store (a rerun does no harm):
// runs args after --store store in the server and relays what it prints.
// True, with *status, when the server ran it; false when the caller is to
// do it by itself.
bool run_served(const std::string &store, const std::vector<std::string> &args,
                int *status);
// The same, keeping standard output in *out (standard error is relayed).
bool served_output(const std::string &store, const std::vector<std::string> &args,
                   std::string *out, int *status);

// Whether a server answers for the store (stats).
struct ServerStatus {
  bool answers = false;
  bool serves = false;  // false: it runs another version
  int64_t pid = 0;
  int64_t since = 0;
  uint64_t captures = 0;
  std::string version;
};
ServerStatus server_status(const std::string &store);
// stats' line for it: "server     pid 4242 since ..., 3 captures recorded".
std::string server_line(const ServerStatus &status);

}  // namespace host

#endif  // QUILLMAR_CLI_CLIENT_H
