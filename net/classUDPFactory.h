#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/IdUDPServer.h"

namespace pallador {

class TUDPFactory;

// The server a read handler was attached to, and which attachment it was.
// Detaching by it reaches exactly that server, whatever a lookup by the
// address text finds later (a text in another notation misses its server).
struct TUDPReceiverHandle {
  std::weak_ptr<TUDPFactory> Pool;  // expires when the pool is destroyed
  TIdUDPServer* Server = nullptr;   // compared only, never used once the pool is gone
  std::uint64_t Attachment = 0;
};

// One UDP server per local address text, made on first request, bound to that
// address and port 6454, and shared by every endpoint bound there. Failures to
// make or bind a server become LastError text.
// Thread: main thread, and SendTo from the transmit thread; the pool holds no
// lock: the application serialises the two.
class TUDPFactory {
 public:
  // Every server is made with ServerOwner (may be null) as owner; the pool
  // itself frees its servers in Clear, and a failed one at once.
  explicit TUDPFactory(TComponent* ServerOwner);
  ~TUDPFactory();  // DeactivateAll, then Clear
  TUDPFactory(const TUDPFactory&) = delete;
  TUDPFactory& operator=(const TUDPFactory&) = delete;

  TIdUDPServer* GetServer(const std::string& IP);  // none (nullptr) on failure
  bool OpenPort(const std::string& IP, int Port);
  // Raises (EIdException) when there is no server or the send fails.
  // "255.255.255.255", and the directed broadcast address of the server's own
  // interface, are sent as broadcasts.
  void SendTo(const std::string& BindIP, const std::string& DestIP, int Port,
              std::span<const std::uint8_t> Data);
  bool IsServerActive(const std::string& IP);
  // Sets the read handler of the server for IP; the handle names that server
  // (empty when there is none).
  TUDPReceiverHandle AttachReceiver(const std::string& IP, TUDPReadEvent Handler);
  void DetachReceiver(const std::string& IP);
  // Empties the handler of the handle's server while it is still the one that
  // attachment set (a later attachment there is left alone). Makes nothing.
  void DetachReceiver(const TUDPReceiverHandle& Receiver) noexcept;
  void DeactivateAll();
  void Clear();

  int Count() const { return static_cast<int>(Servers_.size()); }
  TIdUDPServer* Items(int Index) const {
    return Servers_.at(static_cast<std::size_t>(Index)).Server;
  }

  TComponent* ServerOwner;
  std::string LastError;
  // The socket error number behind LastError (10049, 10050, ...); 0 when
  // there is none or the failure was no socket error.
  int LastErrorCode = 0;

 private:
  struct TEntry {
    TIdUDPServer* Server;
    std::uint64_t Attachment = 0;  // the attachment that set its handler; 0: none
  };
  TEntry* EntryOf(const TIdUDPServer* Server) noexcept;

  std::vector<TEntry> Servers_;
  std::uint64_t LastAttachment_ = 0;
  std::shared_ptr<int> Lifetime_ = std::make_shared<int>(0);  // handles' weak_ptr share it
};

}  // namespace pallador
