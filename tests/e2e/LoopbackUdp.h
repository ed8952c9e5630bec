#pragma once

// A plain UDP socket on a loopback address, for tests that play the console
// sending to the input or the node receiving from an output.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pallador::testsupport {

class TLoopbackUdp {
 public:
  // Binds IP:Port (Port 0: any free port).
  TLoopbackUdp(const std::string& IP, std::uint16_t Port) {
    Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd_ < 0) throw std::runtime_error("socket failed");
    const sockaddr_in address = Address(IP, Port);
    if (::bind(Fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(Fd_);
      throw std::runtime_error("bind " + IP + ":" + std::to_string(Port) + " failed");
    }
  }
  ~TLoopbackUdp() { ::close(Fd_); }
  TLoopbackUdp(const TLoopbackUdp&) = delete;
  TLoopbackUdp& operator=(const TLoopbackUdp&) = delete;

  void SendTo(const std::string& IP, std::uint16_t Port, std::span<const std::uint8_t> Data) {
    const sockaddr_in address = Address(IP, Port);
    ::sendto(Fd_, Data.data(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
  }

  // One datagram, or an empty vector when none came within Timeout.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds Timeout) {
    pollfd p{Fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(Timeout.count())) <= 0) return {};
    std::vector<std::uint8_t> datagram(65536);
    const ssize_t n = ::recv(Fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
    datagram.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return datagram;
  }

  // Drops every datagram already queued; returns how many there were.
  int Drain() {
    int count = 0;
    while (!Receive(std::chrono::milliseconds(0)).empty()) ++count;
    return count;
  }

 private:
  static sockaddr_in Address(const std::string& IP, std::uint16_t Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    if (::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1) {
      throw std::runtime_error("bad address " + IP);
    }
    return address;
  }

  int Fd_ = -1;
};

}  // namespace pallador::testsupport
