#include "net/classUDPFactory.h"

#include <exception>
#include <memory>
#include <utility>

#include "net/IdException.h"
#include "net/IdStack.h"

namespace pallador {

namespace {

constexpr int kArtNetPort = 6454;
constexpr int kArtNetBufferSize = 8480;
constexpr const char* kLimitedBroadcast = "255.255.255.255";

// Destination is the directed broadcast address of the server's own interface,
// however the dotted text is written.
bool IsOwnDirectedBroadcast(TIdUDPServer& Server, const std::string& DestIP) {
  const std::string& own = Server.GetActiveBinding().DirectedBroadcast;
  if (own.empty() || !TIdStack::IsIPv4Text(DestIP)) return false;
  return TIdStack::ParseIPv4(DestIP) == TIdStack::ParseIPv4(own);
}

}  // namespace

TUDPFactory::TUDPFactory(TComponent* Owner) : ServerOwner(Owner) {}

TUDPFactory::~TUDPFactory() {
  Lifetime_.reset();
  DeactivateAll();
  Clear();
}

TIdUDPServer* TUDPFactory::GetServer(const std::string& IP) {
  LastError.clear();
  LastErrorCode = 0;
  try {
    for (const TEntry& entry : Servers_) {
      if (entry.Server->GetActiveBinding().IP == IP) return entry.Server;
    }
    auto server = std::make_unique<TIdUDPServer>(ServerOwner);
    server->ThreadedEvent = false;
    server->BufferSize = kArtNetBufferSize;
    server->SetDefaultPort(kArtNetPort);
    server->Bindings.ClearBindings();
    server->Bindings.AddBinding().IP = IP;
    server->SetActive(true);
    Servers_.push_back(TEntry{server.get()});
    return server.release();
    // The failed server is freed at once (its sockets with it): nothing else
    // could reach it, and it would hold its socket until the owner goes.
  } catch (const EIdSocketError& error) {
    LastError = error.what();
    LastErrorCode = error.SocketErrorCode;
    return nullptr;
  } catch (const std::exception& error) {
    LastError = error.what();
    return nullptr;
  }
}

bool TUDPFactory::OpenPort(const std::string& IP, int Port) {
  LastError.clear();
  LastErrorCode = 0;
  TIdUDPServer* server = GetServer(IP);
  if (!LastError.empty()) return false;
  try {
    server->SetDefaultPort(Port);
    server->SetActive(true);
  } catch (const EIdSocketError& error) {
    LastError = error.what();
    LastErrorCode = error.SocketErrorCode;
  } catch (const std::exception& error) {
    LastError = error.what();
  }
  return LastError.empty();
}

void TUDPFactory::SendTo(const std::string& BindIP, const std::string& DestIP, int Port,
                         std::span<const std::uint8_t> Data) {
  TIdUDPServer* server = GetServer(BindIP);
  if (server == nullptr) throw EIdException(LastError);
  if (DestIP == kLimitedBroadcast) {
    server->BroadcastDatagram(Data, Port);
  } else if (IsOwnDirectedBroadcast(*server, DestIP)) {
    // Art-Net networks commonly use the directed broadcast address; without the
    // permission every such send fails with 10013.
    server->BroadcastDatagram(Data, Port, DestIP);
  } else {
    server->SendDatagram(DestIP, Port, Data);
  }
}

bool TUDPFactory::IsServerActive(const std::string& IP) {
  TIdUDPServer* server = GetServer(IP);
  return server != nullptr && server->Active();
}

TUDPReceiverHandle TUDPFactory::AttachReceiver(const std::string& IP, TUDPReadEvent Handler) {
  TIdUDPServer* server = GetServer(IP);
  TEntry* entry = EntryOf(server);
  if (entry == nullptr) return {};
  server->OnUDPRead = std::move(Handler);
  entry->Attachment = ++LastAttachment_;
  return {std::shared_ptr<TUDPFactory>(Lifetime_, this), server, entry->Attachment};
}

void TUDPFactory::DetachReceiver(const std::string& IP) {
  TIdUDPServer* server = GetServer(IP);
  TEntry* entry = EntryOf(server);
  if (entry == nullptr) return;
  server->OnUDPRead = nullptr;
  entry->Attachment = 0;
}

void TUDPFactory::DetachReceiver(const TUDPReceiverHandle& Receiver) noexcept {
  TEntry* entry = EntryOf(Receiver.Server);
  if (entry == nullptr || Receiver.Attachment == 0 || entry->Attachment != Receiver.Attachment) {
    return;
  }
  entry->Server->OnUDPRead = nullptr;
  entry->Attachment = 0;
}

TUDPFactory::TEntry* TUDPFactory::EntryOf(const TIdUDPServer* Server) noexcept {
  if (Server == nullptr) return nullptr;
  for (TEntry& entry : Servers_) {
    if (entry.Server == Server) return &entry;
  }
  return nullptr;
}

void TUDPFactory::DeactivateAll() {
  for (auto it = Servers_.rbegin(); it != Servers_.rend(); ++it) {
    it->Server->OnUDPRead = nullptr;
    it->Attachment = 0;
    it->Server->SetActive(false);
  }
}

void TUDPFactory::Clear() {
  while (!Servers_.empty()) {
    TIdUDPServer* server = Servers_.back().Server;
    server->SetActive(false);
    delete server;
    Servers_.pop_back();
  }
}

}  // namespace pallador
