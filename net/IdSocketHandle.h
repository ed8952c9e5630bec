#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/IdStack.h"

namespace pallador {

class TIdSocketHandles;

// One UDP socket with its local and remote address. On Linux a binding bound to
// one of the machine's interface addresses also owns hidden receive-only
// companions (its interface's directed broadcast address, and 255.255.255.255
// on its interface) so that it receives broadcasts as it would on Windows; they
// are never sent on. The socket itself is pinned to that interface for sending.
// Thread: configured, opened and released on the main thread while no listener
// runs; the listener reads SocketId and the companions while the server is
// active; sends come from the main or the transmit thread.
class TIdSocketHandle {
 public:
  explicit TIdSocketHandle(TIdSocketHandles& Collection);
  ~TIdSocketHandle();  // ReleaseSocket
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  void OpenSocket(int SocketType = Id_SOCK_DGRAM, int Protocol = 0);
  void ReleaseSocket();
  void BindToAddress();
  void SendToAddress(const std::string& ToIP, int ToPort, const void* Bytes, int Count);
  void SetBroadcastPermission(bool Permit);  // SO_BROADCAST -1 / 0; raises EIdSocketError

  // Whether Socket is this binding's socket or one of its companions.
  bool OwnsSocket(TIdStackSocketHandle Socket) const;
  // SocketId followed by the companions: what the listener waits on.
  void CollectSockets(std::vector<TIdStackSocketHandle>& Into) const;

  TIdStackSocketHandle SocketId = IdInvalidSocket;
  bool SocketOpen = false;
  std::string IP;
  std::string RemoteIP;
  int Port = 0;
  int RemotePort = 0;
  int ClientPortMin = 0;
  int ClientPortMax = 0;
  // Set by a successful bind: the directed broadcast address of IP's interface
  // (empty for the any address or when unknown).
  std::string DirectedBroadcast;
  std::vector<TIdStackSocketHandle> Companions;

 private:
  bool TryBind();
  void AdaptToInterface();
  void OpenCompanion(const std::string& Address, const std::string& Device);
};

// The ordered bindings of one server.
class TIdSocketHandles {
 public:
  TIdSocketHandles() = default;
  TIdSocketHandle& AddBinding();  // takes DefaultPort and an empty IP
  void ClearBindings();           // frees every binding, closing its socket
  int Count() const { return static_cast<int>(Items_.size()); }
  TIdSocketHandle& Items(int Index) { return *Items_.at(static_cast<std::size_t>(Index)); }
  // The binding whose socket (or companion) is Socket, searched last to first.
  TIdSocketHandle* FindBinding(TIdStackSocketHandle Socket);

  int DefaultPort = 0;

 private:
  std::vector<std::unique_ptr<TIdSocketHandle>> Items_;
};

}  // namespace pallador
