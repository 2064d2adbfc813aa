// Processes and time for the whole host: the monotonic clock, sleeping,
// running another program with a deadline, and catching the stop signals
// through a pipe that poll can wait on.
#ifndef QUILLMAR_CLI_PROCESS_H
#define QUILLMAR_CLI_PROCESS_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Milliseconds of the monotonic clock: for deadlines and durations, never
// for dates.
long now_ms();

// Sleeps ms milliseconds, the whole of them even when a signal comes.
void sleep_ms(long ms);

// How a program run by run_program ended.
enum class Ended {
  exited,       // with RunResult::code as its exit status
  signaled,     // killed by signal RunResult::code
  timed_out,    // still running at the deadline: killed with SIGKILL, reaped
  not_started,  // see RunResult::setup_error and RunResult::code
};

// What becomes of one of the program's standard streams.
enum class Stream {
  null,     // /dev/null
  inherit,  // ours
  pipe,     // stdin: fed from RunOptions::input; stdout, stderr: kept
  memory,   // stdin only: a file in memory holding RunOptions::input
};

struct RunOptions {
  // Look argv[0] up in PATH; otherwise it is the program's path.
  bool search_path = false;
  Stream in = Stream::null;
  // What standard input is given (Stream::pipe, Stream::memory). A pipe is
  // fed while the outputs are read, so that neither side waits on the
  // other, and with SIGPIPE ignored here; a program that stops reading is
  // said by RunResult::input_taken. A file in memory never keeps anyone
  // waiting, and its bytes reach no disk.
  std::string_view input;
  Stream out = Stream::null, err = Stream::null;
  // Bytes kept of standard output and of standard error (Stream::pipe);
  // the rest is read and dropped.
  size_t out_keep = 0, err_keep = 0;
  // Milliseconds the program may run; -1: no deadline.
  long timeout_ms = -1;
  // Wait for the end of the kept outputs as well as for the program. Off,
  // only the program is waited for (and what it wrote is taken once it has
  // ended): a program may leave a child of its own behind that keeps the
  // pipes open, as the clipboard tools do.
  bool wait_for_outputs = true;
  // SIGINT and SIGQUIT ignored here while the program runs, and at their
  // defaults in the program: a Ctrl-C on the terminal is the program's to
  // act on (a terminal picker cancels).
  bool leave_interrupts = false;
};

struct RunResult {
  Ended how = Ended::not_started;
  // exited: the exit status; signaled: the signal; not_started: the errno
  // of what failed.
  int code = 0;
  // not_started: what could not be made before the program was tried, in
  // words ("cannot make a pipe: ..."); empty when the program itself could
  // not be started (code is the errno of posix_spawn).
  std::string setup_error;
  std::string out, err;                   // the bytes kept of each (Stream::pipe)
  bool out_cut = false, err_cut = false;  // more came than was kept
  bool input_taken = false;               // Stream::pipe: the program read all of input
};

// Runs argv (with environ) and waits for it, by its pid only: nothing else
// is reaped. The host's descriptors are all close-on-exec, so the program
// gets only its three standard streams.
RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options);

// Catches SIGINT, SIGTERM and SIGHUP (and SIGCHLD with children) while it
// is open, each writing a byte to a pipe that poll can wait on; one at a
// time in a process. A stop signal (not SIGCHLD) also sets stop_requested.
class SignalPipe {
 public:
  SignalPipe() = default;
  SignalPipe(const SignalPipe &) = delete;
  SignalPipe &operator=(const SignalPipe &) = delete;
  ~SignalPipe() { close(); }

  // restart: the handlers have SA_RESTART. children: SIGCHLD too (with
  // SA_NOCLDSTOP). False with *error ("cannot make a pipe: ...") when the
  // pipe cannot be made; no handler is set then.
  bool open(bool restart, bool children, std::string *error);
  // Puts the handlers that were there back and closes the pipe.
  void close();

  // Readable once a signal came (-1 while closed).
  static int fd();
  static bool stop_requested();
  // Empties the pipe, so that poll waits again.
  static void drain();

 private:
  bool open_ = false;
};

}  // namespace host

#endif  // QUILLMAR_CLI_PROCESS_H
