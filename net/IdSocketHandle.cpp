#include "net/IdSocketHandle.h"

#include <algorithm>
#include <cstdint>

#include "net/IdException.h"

namespace pallador {

namespace {

constexpr int kWsaAddressInUse = 10048;
constexpr int kWsaMessageTooLong = 10040;
constexpr int kWsaNetworkDown = 10050;
constexpr int kReceiveBufferBytes = 1 << 20;
constexpr const char* kAnyAddress = "0.0.0.0";
constexpr const char* kLimitedBroadcast = "255.255.255.255";

// A larger queue rides out a busy main thread; the kernel clamps the request
// to its own limit, so a refusal costs nothing but headroom.
void RequestReceiveBuffer(TIdStack& Stack, TIdStackSocketHandle Socket) {
  const int bytes = kReceiveBufferBytes;
  Stack.setsockopt(Socket, Id_SOL_SOCKET, Id_SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles& Collection) : Port(Collection.DefaultPort) {}

TIdSocketHandle::~TIdSocketHandle() {
  ReleaseSocket();
}

void TIdSocketHandle::OpenSocket(int SocketType, int Protocol) {
  ReleaseSocket();
  TIdStack& stack = *GStack();
  SocketId = stack.NewSocket(SocketType, Protocol);
  SocketOpen = true;
  RequestReceiveBuffer(stack, SocketId);
}

void TIdSocketHandle::ReleaseSocket() {
  if (!SocketOpen) return;
  SocketOpen = false;
  TIdStack* stack = GStack();
  if (stack != nullptr) {
    stack->shutdown(SocketId, Id_SD_SEND);
    stack->closesocket(SocketId);
    for (const TIdStackSocketHandle companion : Companions) stack->closesocket(companion);
  }
  Companions.clear();
  // A closed descriptor's number is soon reused; never let it match again.
  SocketId = IdInvalidSocket;
}

void TIdSocketHandle::BindToAddress() {
  DirectedBroadcast.clear();
  if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
    if (!TryBind()) throw EIdCouldNotBindSocket();
  } else {
    if (ClientPortMin > ClientPortMax) throw EIdInvalidPortRange(ClientPortMin, ClientPortMax);
    bool bound = false;
    for (int port = ClientPortMax; port >= ClientPortMin && !bound; --port) {
      Port = port;
      bound = TryBind();
    }
    if (!bound) {
      // Leave the range in charge: with Port at the last port tried, the next
      // activation would only ever try that one port.
      Port = 0;
      throw EIdCanNotBindPortInRange(ClientPortMin, ClientPortMax);
    }
  }
  AdaptToInterface();
}

bool TIdSocketHandle::TryBind() {
  TIdStack& stack = *GStack();
  if (stack.CheckSocketResult(stack.bind(SocketId, Port, IP), {kWsaAddressInUse})) return false;
  stack.getsockname(SocketId, IP, Port);
  return true;
}

// Linux differs from Windows for a socket bound to an interface address: it
// binds to an interface that is down, routes sends by the routing table rather
// than by the source address, and delivers no broadcast to a unicast-bound socket.
void TIdSocketHandle::AdaptToInterface() {
  if (IP == kAnyAddress) return;
  TIdStack& stack = *GStack();
  const std::optional<TIdInterfaceAddress> found = stack.InterfaceOfAddress(IP);
  if (!found) return;
  if (!found->Up || !found->Running) TIdStack::ThrowSocketError(kWsaNetworkDown);
  DirectedBroadcast = found->DirectedBroadcast;
  if (found->Loopback) return;

  if (found->Index != 0) {
    const std::uint32_t index = found->Index;
    stack.CheckSocketResult(
        stack.setsockopt(SocketId, Id_IPPROTO_IP, Id_IP_UNICAST_IF, &index, sizeof index));
  }
  // Best effort: without them the binding still works, it only misses broadcasts.
  Companions.reserve(2);
  if (!DirectedBroadcast.empty() && DirectedBroadcast != IP) OpenCompanion(DirectedBroadcast, {});
  OpenCompanion(kLimitedBroadcast, found->Name);
}

void TIdSocketHandle::OpenCompanion(const std::string& Address, const std::string& Device) {
  TIdStack& stack = *GStack();
  TIdStackSocketHandle socket = IdInvalidSocket;
  try {
    socket = stack.NewSocket(Id_SOCK_DGRAM, 0);
  } catch (const EIdException&) {
    return;
  }
  // Shared with our other servers on the same interface; the visible socket
  // stays exclusive, so another program still meets 10048 there.
  const int one = 1;
  bool ready = stack.setsockopt(socket, Id_SOL_SOCKET, Id_SO_REUSEADDR, &one, sizeof one) == 0;
  RequestReceiveBuffer(stack, socket);
  if (ready && !Device.empty()) {
    ready = stack.setsockopt(socket, Id_SOL_SOCKET, Id_SO_BINDTODEVICE, Device.data(),
                             static_cast<int>(Device.size())) == 0;
  }
  if (ready) ready = stack.bind(socket, Port, Address) == 0;
  if (!ready) {
    stack.closesocket(socket);
    return;
  }
  Companions.push_back(socket);
}

void TIdSocketHandle::SendToAddress(const std::string& ToIP, int ToPort, const void* Bytes,
                                    int Count) {
  TIdStack& stack = *GStack();
  const int sent = stack.sendto(SocketId, Bytes, Count, 0, ToIP, ToPort);
  if (sent == -1) {
    const int code = stack.WSGetLastError();
    if (code == kWsaMessageTooLong) throw EIdPackageSizeTooBig();
    TIdStack::ThrowSocketError(code);
  }
  if (sent != Count) throw EIdNotAllBytesSent();
}

void TIdSocketHandle::SetBroadcastPermission(bool Permit) {
  TIdStack& stack = *GStack();
  const int value = Permit ? -1 : 0;
  stack.CheckSocketResult(
      stack.setsockopt(SocketId, Id_SOL_SOCKET, Id_SO_BROADCAST, &value, sizeof value));
}

bool TIdSocketHandle::OwnsSocket(TIdStackSocketHandle Socket) const {
  if (Socket == IdInvalidSocket) return false;
  return Socket == SocketId ||
         std::find(Companions.begin(), Companions.end(), Socket) != Companions.end();
}

void TIdSocketHandle::CollectSockets(std::vector<TIdStackSocketHandle>& Into) const {
  Into.push_back(SocketId);
  Into.insert(Into.end(), Companions.begin(), Companions.end());
}

TIdSocketHandle& TIdSocketHandles::AddBinding() {
  Items_.push_back(std::make_unique<TIdSocketHandle>(*this));
  return *Items_.back();
}

void TIdSocketHandles::ClearBindings() {
  Items_.clear();
}

TIdSocketHandle* TIdSocketHandles::FindBinding(TIdStackSocketHandle Socket) {
  for (auto it = Items_.rbegin(); it != Items_.rend(); ++it) {
    if ((*it)->OwnsSocket(Socket)) return it->get();
  }
  return nullptr;
}

}  // namespace pallador
