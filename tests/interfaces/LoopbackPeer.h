#pragma once

// A plain UDP socket on a loopback address that plays the console or the node
// on the other side of an endpoint, and the Art-Net datagrams it sends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainThreadQueue.h"
#include "support/ArtDmxFixture.h"

namespace pallador::test {

// Runs the main-thread queue (where received datagrams are handled) until
// Condition holds or the deadline passes; returns the last result.
template <class TCondition>
bool PumpUntil(TCondition Condition, std::chrono::milliseconds Deadline = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > end) return Condition();
    MainThread().ProcessQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline sockaddr_in LoopbackAddress(const std::string& IP, int Port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  if (::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    throw std::invalid_argument("test peers use loopback addresses only: " + IP);
  }
  return address;
}

class TLoopbackPeer {
 public:
  // Port 0: any free port (a sender); 6454 to receive what an endpoint sends.
  explicit TLoopbackPeer(const std::string& IP, int Port = 0) {
    Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd_ < 0) throw std::runtime_error("socket");
    const sockaddr_in address = LoopbackAddress(IP, Port);
    if (::bind(Fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(Fd_);
      throw std::runtime_error("bind " + IP);
    }
  }
  ~TLoopbackPeer() { ::close(Fd_); }
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  bool SendTo(const std::string& IP, std::span<const std::uint8_t> Bytes, int Port = 6454) {
    const sockaddr_in address = LoopbackAddress(IP, Port);
    return ::sendto(Fd_, Bytes.data(), Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                    sizeof address) == static_cast<ssize_t>(Bytes.size());
  }

  struct TDatagram {
    std::vector<std::uint8_t> Bytes;
    std::string FromIP;
    int FromPort = 0;
  };

  // The next datagram, waiting at most Deadline; the main-thread queue keeps running.
  std::optional<TDatagram> Receive(std::chrono::milliseconds Deadline = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + Deadline;
    do {
      pollfd entry{Fd_, POLLIN, 0};
      if (::poll(&entry, 1, 5) == 1) {
        TDatagram datagram;
        datagram.Bytes.resize(9000);
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(Fd_, datagram.Bytes.data(), datagram.Bytes.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) return std::nullopt;
        datagram.Bytes.resize(static_cast<std::size_t>(got));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        datagram.FromIP = text;
        datagram.FromPort = ntohs(from.sin_port);
        return datagram;
      }
      MainThread().ProcessQueue();
    } while (std::chrono::steady_clock::now() < end);
    return std::nullopt;
  }

  int Fd() const { return Fd_; }

 private:
  int Fd_ = -1;
};

// An ArtDmx datagram as a console sends it: Length in the header, then
// Carried data bytes of Level (Carried may differ from Length).
inline std::vector<std::uint8_t> ArtDmxDatagram(std::uint16_t Universe, std::uint16_t Length,
                                                std::size_t Carried, std::uint8_t Level) {
  const std::vector<std::uint8_t> data(Carried, Level);
  return ArtDmxBytes(Universe, Length, data);
}

// Any Art-Net packet by its OpCode: the 10-byte header and a few bytes more.
inline std::vector<std::uint8_t> ArtNetOpDatagram(std::uint16_t OpCode) {
  return {'A',
          'r',
          't',
          '-',
          'N',
          'e',
          't',
          0,
          static_cast<std::uint8_t>(OpCode & 0xFF),
          static_cast<std::uint8_t>(OpCode >> 8),
          0x00,
          0x0E,
          0x00,
          0x00};
}

}  // namespace pallador::test
