// Child processes for end-to-end tests: started with a pipe on stdin and
// one on stdout, read line by line with a time-out, stopped with SIGTERM.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_support.h"

namespace vexon::testing {

class TProcess {
 public:
  TProcess() = default;
  TProcess(const TProcess&) = delete;
  ~TProcess() { Stop(); }

  bool Start(const std::vector<std::string>& argv) {
    buf_.clear();  // nothing of an earlier run of this object
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      dup2(in[0], 0);
      dup2(out[1], 1);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    return true;
  }

  // The next line of standard output, or "" after the time-out.
  std::string ReadLine(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::string l; vexon::testing::TakeLine(buf_, l)) return l;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t r = read(stdout_, chunk, sizeof chunk);
      if (r <= 0) return "";
      buf_.append(chunk, static_cast<size_t>(r));
    }
  }

  void WriteLine(const std::string& line) {
    const std::string t = line + "\n";
    (void)!write(stdin_, t.data(), t.size());
  }

  // SIGTERM (or `sig`: SIGKILL for a crash), then waits; returns the exit
  // status, or -1 when the process ended by a signal.
  int Stop(int sig = SIGTERM) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    // A process that does not end within 20 s of the signal is killed: a
    // sanitizer build may hold a signal back while it blocks (the simulator
    // under ThreadSanitizer does in pause()). Killed means -1 below.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, sig == 0 ? 0 : WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      usleep(10000);
    }
    pid_ = -1;
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    stdin_ = stdout_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Running() const { return pid_ > 0; }
  // Waits up to `timeoutMs` for the process to end by itself: its exit
  // status, -1 when a signal ended it, -2 when it is still running.
  int WaitExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -2;
      usleep(10000);
    }
    pid_ = -1;
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    stdin_ = stdout_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string buf_;
};

}  // namespace vexon::testing
