#include "net/IdUDPServer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <utility>

#include "platform/MainThreadQueue.h"

namespace pallador {

namespace {

constexpr int kWsaWouldBlock = 10035;
constexpr int kReadsPerWait = 32;
constexpr std::size_t kMaxWaitSockets = 64;
constexpr int kFirstBackOffMs = 10;

std::size_t BufferBytes(int Size) {
  return static_cast<std::size_t>(std::max(Size, 0));
}

}  // namespace

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& Server, int Size)
    : ReceiveSize(Size), OwningServer(Server) {
  ReceiveStream.reserve(BufferBytes(ReceiveSize));
  // As many as one wait takes: no cycle allocates, the first included.
  WaitList_.reserve(kMaxWaitSockets);
}

TIdUDPListenerThread::~TIdUDPListenerThread() {
  // Execute must not outlive this part of the object.
  Stop();
  Wake();
  WaitFor();
}

void TIdUDPListenerThread::Wake() {
  WakeEvent_.Signal();
}

void TIdUDPListenerThread::Execute() {
  while (!StopRequested()) {
    try {
      RunCycle();
    } catch (...) {
      // Only collecting the sockets or waiting on them gets here (more than
      // 64 sockets): the server stays active but this listener ends.
      Stop();
    }
  }
}

void TIdUDPListenerThread::RunCycle() {
  WaitList_.clear();
  TIdSocketHandles& bindings = OwningServer.Bindings;
  for (int i = 0; i < bindings.Count(); ++i) bindings.Items(i).CollectSockets(WaitList_);
  // A failed wait reads nothing; the next cycle waits again, after a pause.
  if (GStack()->select(WaitList_, WaitInterval, WakeEvent_.Fd()) < 0) {
    ++FailedWaits;
    BackOff();
    return;
  }
  FailedWaits = 0;
  for (const TIdStackSocketHandle socket : WaitList_) {
    // Under load more datagrams are queued behind the first: read them without
    // waiting again, a bounded number so that no socket starves the others.
    for (int i = 0; i < kReadsPerWait; ++i) {
      try {
        if (!ReceiveFrom(socket)) break;
      } catch (...) {
        // A failed receive or a raising handler loses this datagram only.
      }
    }
  }
}

std::chrono::milliseconds TIdUDPListenerThread::BackOffDelay() const {
  if (FailedWaits <= 0) return std::chrono::milliseconds(0);
  const auto longest = std::chrono::milliseconds(std::max(WaitInterval, kFirstBackOffMs));
  const int doublings = std::min(FailedWaits - 1, 16);
  return std::min(std::chrono::milliseconds(std::int64_t{kFirstBackOffMs} << doublings), longest);
}

// In slices, so that a stop request still ends the listener within one.
void TIdUDPListenerThread::BackOff() {
  const auto end = std::chrono::steady_clock::now() + BackOffDelay();
  while (!StopRequested() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kFirstBackOffMs));
  }
}

bool TIdUDPListenerThread::ReceiveFrom(TIdStackSocketHandle Socket) {
  if (StopRequested()) return false;
  ReceivingBinding = OwningServer.Bindings.FindBinding(Socket);
  if (ReceivingBinding == nullptr) return false;
  TIdStack& stack = *GStack();
  // The capacity was reserved at creation: resizing allocates nothing.
  ReceiveStream.resize(BufferBytes(ReceiveSize));
  int fromPort = 0;
  // Never a blocking read: a socket marked readable can still have nothing to
  // give (a datagram dropped on its checksum), and a listener blocked in a read
  // could not be woken to stop.
  const int length =
      stack.recvfrom(Socket, ReceiveStream.data(), ReceiveSize, Id_MSG_DONTWAIT, FromIP_, fromPort);
  if (stack.CheckSocketResult(length, {kWsaWouldBlock})) return false;
  ReceiveStream.resize(BufferBytes(length));
  ReceivingBinding->RemoteIP = FromIP_;
  ReceivingBinding->RemotePort = fromPort;
  if (OwningServer.ThreadedEvent) {
    Deliver();
  } else {
    MainThread().Synchronize([this] { Deliver(); });
  }
  return true;
}

void TIdUDPListenerThread::Deliver() {
  // Written only when it changes, so that a one-binding server never writes it
  // while another thread sends.
  if (OwningServer.ActiveBinding != ReceivingBinding) OwningServer.ActiveBinding = ReceivingBinding;
  OwningServer.DeliverDatagram(std::span<const std::uint8_t>(ReceiveStream), *ReceivingBinding);
}

TIdUDPServer::TIdUDPServer(TComponent* Owner) : TIdUDPBase(Owner) {}

TIdUDPServer::~TIdUDPServer() {
  try {
    SetActive(false);
  } catch (...) {  // a destructor reports nothing; the sockets close below
  }
  Bindings.ClearBindings();
}

TIdSocketHandle& TIdUDPServer::GetActiveBinding() {
  if (ActiveBinding != nullptr) return *ActiveBinding;
  if (Bindings.Count() == 0) Bindings.AddBinding();
  for (int i = 0; i < Bindings.Count(); ++i) {
    TIdSocketHandle& binding = Bindings.Items(i);
    binding.OpenSocket();
    binding.BindToAddress();
  }
  auto listener = std::make_unique<TIdUDPListenerThread>(*this, BufferSize);
  ActiveBinding = &Bindings.Items(0);
  // The broadcast setting before the listener starts: a server that fails here
  // is inactive with no thread to join, so whoever frees it (the pool, under
  // the window's lock) waits for nothing.
  try {
    ApplyBroadcastSetting();
    ReceiverThread = std::move(listener);
    ReceiverThread->Start();
  } catch (...) {
    ReceiverThread.reset();
    ActiveBinding = nullptr;
    throw;
  }
  return *ActiveBinding;
}

// The listener is joined before the sockets close: on Linux closing a socket
// does not wake a thread waiting on it, and a closed descriptor's number can be
// reused by another socket while the listener still waits on or reads it.
void TIdUDPServer::ShutDownServer() {
  if (ActiveBinding == nullptr) return;
  if (ReceiverThread) {
    ReceiverThread->Stop();
    ReceiverThread->Wake();
    ReceiverThread->WaitFor();
    ReceiverThread.reset();
  }
  for (int i = 0; i < Bindings.Count(); ++i) Bindings.Items(i).ReleaseSocket();
  ActiveBinding = nullptr;
}

bool TIdUDPServer::QueryActive() {
  return ActiveBinding != nullptr && ActiveBinding->SocketOpen;
}

void TIdUDPServer::ApplyBroadcastSetting() {
  if (ActiveBinding == nullptr) return;
  for (int i = 0; i < Bindings.Count(); ++i) {
    Bindings.Items(i).SetBroadcastPermission(BroadcastEnabled());
  }
}

void TIdUDPServer::DeliverDatagram(std::span<const std::uint8_t> AData, TIdSocketHandle& ABinding) {
  // A copy: the handler may detach itself (empty OnUDPRead) while it runs.
  const TUDPReadEvent handler = OnUDPRead;
  if (handler) handler(*this, AData, ABinding);
}

}  // namespace pallador
