#pragma once

// Small helpers shared by the performance tools: "--key value" arguments, the
// monotonic clock in nanoseconds, and entering a network namespace by name.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>

namespace pallador::perf {

class TArgs {
 public:
  TArgs(int Argc, char** Argv, int First) {
    for (int i = First; i + 1 < Argc; i += 2) {
      std::string key = Argv[i];
      if (key.rfind("--", 0) != 0) throw std::runtime_error("expected --key value, got " + key);
      Values_[key.substr(2)] = Argv[i + 1];
    }
  }

  std::string Text(const std::string& Key, const std::string& Default = {}) const {
    const auto it = Values_.find(Key);
    return it == Values_.end() ? Default : it->second;
  }
  std::string Required(const std::string& Key) const {
    const auto it = Values_.find(Key);
    if (it == Values_.end()) throw std::runtime_error("missing --" + Key);
    return it->second;
  }
  double Number(const std::string& Key, double Default) const {
    const auto it = Values_.find(Key);
    return it == Values_.end() ? Default : std::stod(it->second);
  }

 private:
  std::map<std::string, std::string> Values_;
};

inline std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline std::int64_t RealtimeNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline timespec ToTimespec(std::int64_t Ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
  t.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
  return t;
}

inline void SleepUntilNs(std::int64_t Deadline) {
  const timespec t = ToTimespec(Deadline);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
  }
}

// A descriptor of the named namespace (made by `ip netns add`).
inline int OpenNetns(const std::string& Name) {
  const std::string path = "/var/run/netns/" + Name;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("no network namespace " + Name);
  return fd;
}

// Sockets opened afterwards belong to that namespace; an empty name stays put.
inline void EnterNetns(const std::string& Name) {
  if (Name.empty()) return;
  const int fd = OpenNetns(Name);
  const int result = setns(fd, CLONE_NEWNET);
  close(fd);
  if (result != 0) throw std::runtime_error("cannot enter network namespace " + Name);
}

// The driver reads one JSON object per line on standard output.
inline void Emit(const std::string& Json) {
  std::fputs(Json.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace pallador::perf
