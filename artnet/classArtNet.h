#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "artnet/ArtNetPacket.h"
#include "net/IdHostLookup.h"
#include "net/classUDPFactory.h"
#include "platform/Component.h"

namespace pallador {

class TArtNet;

// Raised after each ArtDmx packet; Universe refers to the endpoint's LastUniverse.
using TArtNetNotifyEvent = std::function<void(TArtNet& Sender, std::uint16_t& Universe)>;

// One Art-Net endpoint: listens on BindIP through the pool's server for that
// address, stores received ArtDmx in ReceiveTable, sends ArtDmx to DestinationIP.
// Thread: Open, Close, IsOpen, GetShortError and HandleDatagram on the main
// thread (receive state is touched only there); SendDmx on the transmit thread
// (the packet work area, SendErrorText and the destination's lookup only there,
// read elsewhere under the application's lock).
//
// A DestinationIP that is a name, not an address, is looked up once per Open,
// on a worker thread (TIdHostLookup), never on the transmit thread: SendDmx
// sends nothing until the answer is there, and fails with the lookup's error
// (e.g. 11001 "Host not found.") when there is none within NameLookupTimeout.
class TArtNet : public TComponent {
 public:
  TArtNet(TComponent* Owner, TUDPFactory* UDPFactory, std::string BindIP,
          std::string DestinationIP);
  ~TArtNet() override;  // detaches the server its handler went to, if the pool still exists
  TArtNet(const TArtNet&) = delete;
  TArtNet& operator=(const TArtNet&) = delete;

  bool Open();
  void Close();
  bool IsOpen();
  void HandleDatagram(TIdUDPServer& Sender, std::span<const std::uint8_t> AData,
                      TIdSocketHandle& ABinding);
  bool SendDmx(std::uint16_t Universe, std::span<const std::uint8_t> Data, std::uint16_t Length);
  std::string GetShortError() const;      // ErrorText on one line, at most 25 characters
  std::string GetShortSendError() const;  // the same for SendErrorText
  // Open started a lookup of DestinationIP that has no answer yet (as of the
  // last SendDmx): the endpoint sends nothing meanwhile.
  bool IsWaitingForName() const;

  std::array<std::uint8_t, ArtDmxMaxPacket> Packet{};  // SendDmx's work area
  std::array<std::uint8_t, 8481> DatagramBuffer{};
  TUDPFactory* UDPFactory;
  std::chrono::system_clock::time_point LastPackReceived;
  std::string BindIP;
  std::string ErrorText;  // last failure of Open
  int ErrorCode = 0;      // its socket error number; 0 when none or no socket error
  TArtNetNotifyEvent OnArtDMX;
  std::string DestinationIP;
  bool Active = false;
  std::array<std::array<std::uint8_t, ArtDmxMaxLength>, 17> ReceiveTable{};
  std::uint16_t LastUniverse = 0;
  std::string SendErrorText;  // message of the last failed SendDmx; empty after a success
  std::chrono::milliseconds NameLookupTimeout{5000};  // longest wait for a name's address

  // The endpoint whose HandleDatagram a server's read handler runs; null for a
  // handler that is not an endpoint's. Lets a check find handlers whose
  // endpoint is gone without calling them.
  static const TArtNet* ReceiverOf(const TUDPReadEvent& Handler);

 private:
  // The read handler Open attaches: forwards to HandleDatagram of Endpoint.
  struct TReceiver {
    TArtNet* Endpoint;
    void operator()(TIdUDPServer& Sender, std::span<const std::uint8_t> AData,
                    TIdSocketHandle& ABinding) const {
      Endpoint->HandleDatagram(Sender, AData, ABinding);
    }
  };

  void SetSendError(const char* Message) noexcept;
  void DetachReceiver() noexcept;
  const std::string* LookedUpDestination();

  TUDPReceiverHandle Receiver_;  // the server HandleDatagram is attached to, if any
  std::unique_ptr<TIdHostLookup> DestinationLookup_;  // made by Open for a name
};

// ErrorText made one line (each CR LF becomes one space) and cut to 25
// characters (UTF-8 code points, not bytes).
std::string ShortErrorText(const std::string& Text);

}  // namespace pallador
