#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/IdThread.h"
#include "net/IdUDPBase.h"
#include "net/IdWakeEvent.h"

namespace pallador {

class TIdUDPServer;

// Read event: one datagram's bytes (valid only during the call) and the binding
// that received it, its RemoteIP/RemotePort set to the sender.
using TUDPReadEvent = std::function<void(TIdUDPServer& Sender, std::span<const std::uint8_t> AData,
                                         TIdSocketHandle& ABinding)>;

// The server's receive loop: waits up to WaitInterval ms on every socket of the
// server (and on a wake-up event, so a stop takes milliseconds), reads each
// readable one into ReceiveStream and delivers it.
// Thread: created, stopped, woken and destroyed by the server on the main
// thread; everything else runs on the listener thread.
class TIdUDPListenerThread : public TIdThread {
 public:
  TIdUDPListenerThread(TIdUDPServer& Server, int Size);  // created suspended
  ~TIdUDPListenerThread() override;  // stops, wakes and joins a thread still running
  void Wake();                       // ends a wait in progress
  void RunCycle();                   // one cycle; public so tests can drive it

  // How long the last failed wait was followed by a pause instead of the next
  // wait: 10 ms, doubled for each failure in a row, at most WaitInterval; 0
  // once a wait worked. A wait that fails at once every time does not spin.
  std::chrono::milliseconds BackOffDelay() const;

  TIdSocketHandle* ReceivingBinding = nullptr;
  int WaitInterval = 1000;
  int FailedWaits = 0;                      // waits in a row that failed (not a timeout)
  std::vector<std::uint8_t> ReceiveStream;  // reused for every datagram
  int ReceiveSize;
  TIdUDPServer& OwningServer;

 protected:
  void Execute() override;

 private:
  bool StopRequested() { return Terminated() || Stopped(); }
  void BackOff();  // sleeps BackOffDelay, or until a stop is requested
  bool ReceiveFrom(TIdStackSocketHandle Socket);  // false: nothing was read
  void Deliver();

  TIdWakeEvent WakeEvent_;
  std::vector<TIdStackSocketHandle> WaitList_;
  std::string FromIP_;
};

// A UDP server: bindings, one listener thread while active, and the read event.
// Thread: created, configured, activated, shut down and destroyed on the main
// thread; SendDatagram/BroadcastDatagram also from the transmit thread (the
// application serialises them with the main thread); OnUDPRead is set on the
// main thread and read at each delivery.
class TIdUDPServer : public TIdUDPBase {
 public:
  explicit TIdUDPServer(TComponent* Owner = nullptr);
  ~TIdUDPServer() override;  // Active := false, then the bindings are freed

  int DefaultPort() const { return Bindings.DefaultPort; }
  void SetDefaultPort(int Value) { Bindings.DefaultPort = Value; }

  // Stops the listener, joins it while serving the deliveries it handed to the
  // main thread, then closes the sockets: no delivery follows. Never call it
  // from this server's own read handler (the join would wait for itself).
  void ShutDownServer() override;
  bool QueryActive() override;
  TIdSocketHandle& GetActiveBinding() override;
  void ApplyBroadcastSetting() override;
  virtual void DeliverDatagram(std::span<const std::uint8_t> AData, TIdSocketHandle& ABinding);

  TIdSocketHandles Bindings;
  TIdSocketHandle* ActiveBinding = nullptr;
  std::unique_ptr<TIdUDPListenerThread> ReceiverThread;
  TUDPReadEvent OnUDPRead;
  bool ThreadedEvent = false;
};

}  // namespace pallador
