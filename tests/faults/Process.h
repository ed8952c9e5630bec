#pragma once

// A child process for the fault tests: started from a copy of a binary in a
// scratch folder (the settings file sits beside it), its output kept in files,
// signalled and reaped by pid. Killed on destruction if still running.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "e2e/SettingsFile.h"

namespace pallador::testsupport {

// Blocked: the stop signals are blocked from before exec, so that a signal
// sent at any moment of the start stays pending until the program takes it.
enum class EStopSignals { Default, Blocked };

class TProcess {
 public:
  // Copies Binary into Dir under its own name.
  TProcess(const std::filesystem::path& Binary, const std::filesystem::path& Dir)
      : Dir_(Dir), Binary_(Dir / Binary.filename()) {
    std::filesystem::copy_file(Binary, Binary_, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(Binary_, std::filesystem::perms::owner_all);
  }
  ~TProcess() { Kill(); }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // Namespace: run inside that network namespace (ip netns exec).
  void Start(const std::vector<std::string>& Arguments = {},
             EStopSignals StopSignals = EStopSignals::Default, const std::string& Namespace = {}) {
    if (Running()) throw std::logic_error("already running");
    std::vector<std::string> argv;
    if (!Namespace.empty()) argv = {"/usr/sbin/ip", "netns", "exec", Namespace};
    argv.push_back(Binary_.string());
    argv.insert(argv.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const std::string out = StdoutPath().string();
    const std::string err = StderrPath().string();

    // No output of an earlier run may be taken for this one's.
    WriteTextFile(out, "");
    WriteTextFile(err, "");
    Status_.reset();
    // The child starts with the mask it gets here: no signal can reach it
    // before it has the mask it asked for.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    Pid_ = ::fork();
    if (Pid_ != 0) ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (Pid_ < 0) throw std::runtime_error("fork failed");
    if (Pid_ == 0) {
      sigset_t stop;
      sigemptyset(&stop);
      if (StopSignals == EStopSignals::Blocked) {
        for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop, s);
      }
      ::sigprocmask(SIG_SETMASK, &stop, nullptr);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o >= 0) ::dup2(o, STDOUT_FILENO);
      if (e >= 0) ::dup2(e, STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }

  pid_t Pid() const { return Pid_; }
  bool Running() const { return Pid_ > 0 && !Status_; }
  void Signal(int Number) const {
    if (Running()) ::kill(Pid_, Number);
  }

  // The wait status, or nothing when the process still runs at the deadline.
  std::optional<int> WaitForExit(std::chrono::milliseconds Timeout) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (Running()) {
      int status = 0;
      if (::waitpid(Pid_, &status, WNOHANG) == Pid_) {
        Status_ = status;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Status_;
  }

  void Kill() {
    if (!Running()) return;
    ::kill(Pid_, SIGKILL);
    int status = 0;
    ::waitpid(Pid_, &status, 0);
    Status_ = status;
  }

  std::filesystem::path StdoutPath() const { return Dir_ / (Binary_.filename().string() + ".out"); }
  std::filesystem::path StderrPath() const { return Dir_ / (Binary_.filename().string() + ".err"); }
  std::string Stdout() const { return ReadTextFile(StdoutPath()); }
  std::string Stderr() const { return ReadTextFile(StderrPath()); }

 private:
  std::filesystem::path Dir_;
  std::filesystem::path Binary_;
  pid_t Pid_ = -1;
  std::optional<int> Status_;
};

// "exit 0", "exit 3", "signal 9": a wait status as a test message shows it.
inline std::string DescribeStatus(const std::optional<int>& Status) {
  if (!Status) return "still running";
  if (WIFEXITED(*Status)) return "exit " + std::to_string(WEXITSTATUS(*Status));
  if (WIFSIGNALED(*Status)) return "signal " + std::to_string(WTERMSIG(*Status));
  return "status " + std::to_string(*Status);
}

inline bool ExitedCleanly(const std::optional<int>& Status) {
  return Status && WIFEXITED(*Status) && WEXITSTATUS(*Status) == 0;
}

}  // namespace pallador::testsupport
