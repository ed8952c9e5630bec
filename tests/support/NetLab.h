#pragma once

// Network namespaces for tests of two networks, broadcast and interface faults.
// A TNetLab creates uniquely named namespaces joined by veth pairs, runs code
// inside one of them on a dedicated thread (setns only moves that thread), and
// deletes everything it made when it goes, also when a test fails. Namespaces
// left behind by a test process that crashed are deleted by the next TNetLab.
// Needs root; NetLabUnavailable() says why a test has to skip.
//
// Sockets keep the namespace they were created in, so a socket or server made
// inside RunIn can be used, and waited on, from any thread afterwards.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace pallador::testsupport {

// Runs a shell command; returns its standard output, or throws with the
// command when it fails.
inline std::string RunCommand(const std::string& Command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((Command + " 2>&1").c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("cannot run: " + Command);
  std::string output;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr) output += chunk;
  const int status = ::pclose(pipe.release());
  if (status != 0)
    throw std::runtime_error("failed (" + std::to_string(status) + "): " + Command + "\n" + output);
  return output;
}

// Empty when namespaces can be built here; otherwise the reason to skip.
inline std::string NetLabUnavailable() {
  if (::geteuid() != 0) return "network namespace tests need root";
  if (std::system("ip -V >/dev/null 2>&1") != 0) return "the ip tool (iproute2) is missing";
  return {};
}

class TNetLab {
 public:
  TNetLab()
      : Prefix_(kPrefix + std::to_string(::getpid()) + "-" + std::to_string(NextLab()) + "-") {
    ReapStale();
  }
  ~TNetLab() {
    for (auto it = Namespaces_.rbegin(); it != Namespaces_.rend(); ++it) {
      std::system(("ip netns del " + *it + " >/dev/null 2>&1").c_str());
    }
  }
  TNetLab(const TNetLab&) = delete;
  TNetLab& operator=(const TNetLab&) = delete;

  // A new namespace with loopback up and IPv6 off (no stray router
  // solicitations on the links); returns its full name.
  std::string AddNamespace(const std::string& Role) {
    const std::string name = Prefix_ + Role;
    RunCommand("ip netns add " + name);
    Namespaces_.push_back(name);
    RunCommand("ip -n " + name + " link set lo up");
    RunCommand("ip netns exec " + name + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    RunCommand("ip netns exec " + name + " sysctl -qw net.ipv6.conf.default.disable_ipv6=1");
    return name;
  }

  // A veth pair made directly inside the two namespaces, both ends up.
  void AddVeth(const std::string& NsA, const std::string& IfA, const std::string& NsB,
               const std::string& IfB) {
    RunCommand("ip link add " + IfA + " netns " + NsA + " type veth peer name " + IfB + " netns " +
               NsB);
    Ip(NsA, "link set " + IfA + " up");
    Ip(NsB, "link set " + IfB + " up");
  }

  // `ip -n <Ns> <Args>`; returns its output.
  std::string Ip(const std::string& Ns, const std::string& Args) {
    return RunCommand("ip -n " + Ns + " " + Args);
  }

  // Waits until `ip link show` of the interface contains Text, e.g. "state UP"
  // (a link's operational state follows its carrier a moment later).
  bool WaitLink(const std::string& Ns, const std::string& Interface, const std::string& Text,
                std::chrono::milliseconds Timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
      if (Ip(Ns, "link show dev " + Interface).find(Text) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Runs Fn on a new thread that has joined the namespace, and waits for it.
  // An exception from Fn is rethrown here.
  void RunIn(const std::string& Ns, const std::function<void()>& Fn) {
    std::exception_ptr error;
    std::thread worker([&] {
      try {
        const int fd = ::open(("/run/netns/" + Ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open namespace " + Ns);
        const int joined = ::setns(fd, CLONE_NEWNET);
        ::close(fd);
        if (joined != 0) throw std::runtime_error("cannot join namespace " + Ns);
        Fn();
      } catch (...) {
        error = std::current_exception();
      }
    });
    worker.join();
    if (error) std::rethrow_exception(error);
  }

 private:
  static constexpr const char* kPrefix = "pallador-";

  static int NextLab() {
    static std::atomic<int> next{0};
    return next++;
  }

  // Namespaces of test processes that no longer run (a crash skips destructors).
  static void ReapStale() {
    std::istringstream list(RunCommand("ip netns list"));
    std::string line;
    const std::string prefix = kPrefix;
    while (std::getline(list, line)) {
      const std::string name = line.substr(0, line.find(' '));
      if (name.rfind(prefix, 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0) continue;
      std::system(("ip netns del " + name + " >/dev/null 2>&1").c_str());
    }
  }

  std::string Prefix_;
  std::vector<std::string> Namespaces_;
};

// A plain UDP socket for the other end of a link. Create it inside RunIn.
class TUdpPeer {
 public:
  TUdpPeer(const std::string& IP, int Port, bool Broadcast = false)
      : Fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (Fd_ < 0) throw std::runtime_error("socket");
    const int one = 1;
    ::setsockopt(Fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (Broadcast) ::setsockopt(Fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    const sockaddr_in local = Address(IP, Port);
    if (::bind(Fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(Fd_);
      throw std::runtime_error("bind " + IP + ":" + std::to_string(Port));
    }
  }
  ~TUdpPeer() { ::close(Fd_); }
  TUdpPeer(const TUdpPeer&) = delete;
  TUdpPeer& operator=(const TUdpPeer&) = delete;

  void Send(const std::string& IP, int Port, std::string_view Payload) {
    const sockaddr_in to = Address(IP, Port);
    if (::sendto(Fd_, Payload.data(), Payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) != static_cast<ssize_t>(Payload.size())) {
      throw std::runtime_error("sendto " + IP);
    }
  }

  // The next datagram's payload and sender, or false when none came in time.
  bool Receive(std::string& Payload, std::string* FromIP = nullptr,
               std::chrono::milliseconds Timeout = std::chrono::seconds(5)) {
    pollfd entry{Fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(Timeout.count())) != 1) return false;
    char buffer[9000];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        ::recvfrom(Fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return false;
    Payload.assign(buffer, static_cast<std::size_t>(n));
    if (FromIP != nullptr) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      *FromIP = text;
    }
    return true;
  }

  // Receives until a datagram with exactly Payload arrives (true) or time runs out.
  bool ReceiveUntil(std::string_view Payload,
                    std::chrono::milliseconds Timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    std::string got;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Receive(got, nullptr, left)) return false;
      if (got == Payload) return true;
    }
  }

  static sockaddr_in Address(const std::string& IP, int Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    if (::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1) {
      throw std::runtime_error("bad address " + IP);
    }
    return address;
  }

 private:
  int Fd_;
};

// Every frame an interface sends or receives, seen from its own namespace.
// Create it inside RunIn; read it from any thread.
class TFrameTap {
 public:
  explicit TFrameTap(const std::string& Interface)
      : Fd_(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL))) {
    if (Fd_ < 0) throw std::runtime_error("packet socket");
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = static_cast<int>(::if_nametoindex(Interface.c_str()));
    if (link.sll_ifindex == 0 ||
        ::bind(Fd_, reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0) {
      ::close(Fd_);
      throw std::runtime_error("cannot tap " + Interface);
    }
  }
  ~TFrameTap() { ::close(Fd_); }
  TFrameTap(const TFrameTap&) = delete;
  TFrameTap& operator=(const TFrameTap&) = delete;

  // Collects frames until one contains Fence; returns every frame before it,
  // or throws when the fence does not come in time. Frames leave a device in
  // the order they were sent, so anything sent before the fence is in the list.
  std::vector<std::string> FramesBefore(
      std::string_view Fence, std::chrono::milliseconds Timeout = std::chrono::seconds(5)) {
    std::vector<std::string> frames;
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd entry{Fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1) {
        throw std::runtime_error("fence frame never seen");
      }
      char buffer[9100];
      const ssize_t n = ::recv(Fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      std::string frame(buffer, static_cast<std::size_t>(n));
      if (frame.find(Fence) != std::string::npos) return frames;
      frames.push_back(std::move(frame));
    }
  }

 private:
  int Fd_;
};

}  // namespace pallador::testsupport
