#include "cli_process.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "cli_util.h"

namespace {

using host::Ended;
using host::RunOptions;
using host::RunResult;
using host::Stream;

// Every child of the test has been reaped: none is left running or as a
// zombie.
bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

RunOptions with(const std::function<void(RunOptions &)> &set) {
  RunOptions o;
  set(o);
  return o;
}

TEST(RunProgram, SaysHowTheProgramEnded) {
  // More than any pipe buffer holds (64 KiB by default).
  const std::string big(1 << 20, 'x');
  struct Case {
    const char *name;
    std::vector<std::string> argv;
    RunOptions options;
    Ended how;
    int code;
    std::string out, err;
    bool out_cut, input_taken;
  } cases[] = {
      {"exits 0",
       {"/bin/sh", "-c", "exit 0"},
       {},
       Ended::exited,
       0,
       "",
       "",
       false,
       false},
      {"exits 3",
       {"/bin/sh", "-c", "exit 3"},
       {},
       Ended::exited,
       3,
       "",
       "",
       false,
       false},
      {"killed by a signal",
       {"/bin/sh", "-c", "kill -TERM $$"},
       {},
       Ended::signaled,
       SIGTERM,
       "",
       "",
       false,
       false},
      {"past its deadline",
       {"/bin/sleep", "30"},
       with([](RunOptions &o) { o.timeout_ms = 100; }),
       Ended::timed_out,
       0,
       "",
       "",
       false,
       false},
      {"output over the cap",
       {"/bin/sh", "-c", "head -c 100000 /dev/zero | tr '\\0' a; echo oops >&2"},
       with([](RunOptions &o) {
         o.out = o.err = Stream::pipe;
         o.out_keep = 5;
         o.err_keep = 100;
       }),
       Ended::exited,
       0,
       "aaaaa",
       "oops\n",
       true,
       false},
      {"input through a pipe",
       {"/bin/sh", "-c", "wc -c"},
       with([&](RunOptions &o) {
         o.in = Stream::pipe;
         o.input = big;
         o.out = Stream::pipe;
         o.out_keep = 100;
       }),
       Ended::exited,
       0,
       "1048576\n",
       "",
       false,
       true},
      {"input from memory",
       {"/bin/sh", "-c", "wc -c"},
       with([&](RunOptions &o) {
         o.in = Stream::memory;
         o.input = big;
         o.out = Stream::pipe;
         o.out_keep = 100;
       }),
       Ended::exited,
       0,
       "1048576\n",
       "",
       false,
       false},
      {"input not read",
       {"/bin/sh", "-c", "exec 0<&-; exit 0"},
       with([&](RunOptions &o) {
         o.in = Stream::pipe;
         o.input = big;
       }),
       Ended::exited,
       0,
       "",
       "",
       false,
       false},
      {"looked up in PATH",
       {"sh", "-c", "echo found"},
       with([](RunOptions &o) {
         o.search_path = true;
         o.out = Stream::pipe;
         o.out_keep = 100;
       }),
       Ended::exited,
       0,
       "found\n",
       "",
       false,
       false},
      {"no such program",
       {"/nonexistent/quillmar-no-such-program"},
       {},
       Ended::not_started,
       ENOENT,
       "",
       "",
       false,
       false},
      {"no such program in PATH",
       {"quillmar-no-such-program"},
       with([](RunOptions &o) { o.search_path = true; }),
       Ended::not_started,
       ENOENT,
       "",
       "",
       false,
       false},
  };
  for (auto &c : cases) {
    // The only-the-program wait gives the same answers for these.
    for (bool wait_for_outputs : {true, false}) {
      RunOptions o = c.options;
      o.wait_for_outputs = wait_for_outputs;
      RunResult r = host::run_program(c.argv, o);
      std::string what =
          std::string(c.name) + (wait_for_outputs ? "" : " (program only)");
      EXPECT_EQ(r.how, c.how) << what;
      if (c.how != Ended::timed_out) {
        EXPECT_EQ(r.code, c.code) << what;
      }
      EXPECT_EQ(r.setup_error, "") << what;
      EXPECT_EQ(r.out, c.out) << what;
      EXPECT_EQ(r.err, c.err) << what;
      EXPECT_EQ(r.out_cut, c.out_cut) << what;
      EXPECT_FALSE(r.err_cut) << what;
      EXPECT_EQ(r.input_taken, c.input_taken) << what;
      EXPECT_TRUE(no_child_left()) << what;
    }
  }
}

TEST(RunProgram, LeavesInterruptsToTheProgram) {
  RunOptions o;
  o.leave_interrupts = true;
  o.out = Stream::pipe;
  o.out_keep = 100;
  // The program has SIGINT at its default: it is killed by it.
  RunResult r = host::run_program({"/bin/sh", "-c", "kill -INT $$; echo survived"}, o);
  EXPECT_EQ(r.how, Ended::signaled);
  EXPECT_EQ(r.code, SIGINT);
  EXPECT_EQ(r.out, "");
  // And ours is as it was before.
  struct sigaction now;
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EXPECT_TRUE(no_child_left());
}

TEST(SignalPipe, StopSignalsAreSaidThroughThePipe) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
    host::SignalPipe signals;
    std::string error;
    ASSERT_TRUE(signals.open(true, true, &error)) << error;
    EXPECT_FALSE(host::SignalPipe::stop_requested());
    raise(sig);
    struct pollfd p = {host::SignalPipe::fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1) << sig;
    EXPECT_EQ(host::SignalPipe::stop_requested(), sig != SIGCHLD) << sig;
    host::SignalPipe::drain();
    EXPECT_EQ(poll(&p, 1, 0), 0) << sig;
    signals.close();
    EXPECT_EQ(host::SignalPipe::fd(), -1);
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << sig;
  }
}

TEST(ReadCapped, StopsAtTheCapOrDrainsPastIt) {
  struct Case {
    bool drain;
    size_t limit;
    std::string kept;
    bool more;
    uint64_t seen;
    std::string left;  // what is still in the pipe afterwards
  } cases[] = {
      {false, 4, "0123", true, 4, "456789"},    {false, 10, "0123456789", true, 10, ""},
      {false, 20, "0123456789", false, 10, ""}, {true, 4, "0123", true, 10, ""},
      {true, 10, "0123456789", false, 10, ""},
  };
  for (auto &c : cases) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], "0123456789", 10), 10);
    close(p[1]);
    std::string out, error;
    bool more = false;
    uint64_t seen = 0;
    EXPECT_TRUE(host::read_capped(p[0], c.limit, &out, &more, &error, c.drain, &seen));
    EXPECT_EQ(out, c.kept) << c.limit << " " << c.drain;
    EXPECT_EQ(more, c.more) << c.limit << " " << c.drain;
    EXPECT_EQ(seen, c.seen) << c.limit << " " << c.drain;
    char rest[16];
    ssize_t n = read(p[0], rest, sizeof rest);
    EXPECT_EQ(std::string(rest, n > 0 ? static_cast<size_t>(n) : 0), c.left);
    close(p[0]);
  }
}

}  // namespace
