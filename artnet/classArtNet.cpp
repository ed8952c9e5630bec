#include "artnet/classArtNet.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "net/IdStack.h"

namespace pallador {

namespace {
constexpr std::size_t ShortErrorLength = 25;
constexpr std::size_t ReceiveRows = 17;
constexpr int kWsaHostNotFound = 11001;
}  // namespace

TArtNet::TArtNet(TComponent* Owner, TUDPFactory* UDPFactory_, std::string BindIP_,
                 std::string DestinationIP_)
    : TComponent(Owner),
      UDPFactory(UDPFactory_),
      LastPackReceived(std::chrono::system_clock::now() - std::chrono::hours(24)),
      BindIP(std::move(BindIP_)),
      DestinationIP(std::move(DestinationIP_)) {}

TArtNet::~TArtNet() {
  DetachReceiver();
}

bool TArtNet::Open() {
  ErrorText.clear();
  ErrorCode = 0;
  if (UDPFactory == nullptr) return false;
  if (OnArtDMX) {
    DetachReceiver();
    Receiver_ = UDPFactory->AttachReceiver(BindIP, TReceiver{this});
  }
  if (!UDPFactory->OpenPort(BindIP, ArtNetPort)) {
    ErrorText = UDPFactory->LastError;
    ErrorCode = UDPFactory->LastErrorCode;
  }
  Active = IsOpen();
  DestinationLookup_.reset();
  if (Active && !TIdStack::ResolvesWithoutLookup(DestinationIP)) {
    DestinationLookup_ = std::make_unique<TIdHostLookup>(DestinationIP, NameLookupTimeout);
    DestinationLookup_->Start();
  }
  return Active;
}

// The server the handler went to, not the one BindIP finds now: a text in
// another notation than the bound address's misses its own server.
void TArtNet::Close() {
  Active = false;
  OnArtDMX = nullptr;
  DetachReceiver();
}

void TArtNet::DetachReceiver() noexcept {
  if (const std::shared_ptr<TUDPFactory> pool = Receiver_.Pool.lock()) {
    pool->DetachReceiver(Receiver_);
  }
  Receiver_ = {};
}

bool TArtNet::IsOpen() {
  return UDPFactory != nullptr && UDPFactory->IsServerActive(BindIP);
}

void TArtNet::HandleDatagram(TIdUDPServer& /*Sender*/, std::span<const std::uint8_t> AData,
                             TIdSocketHandle& /*ABinding*/) {
  if (!Active) return;
  try {
    const std::size_t count = std::min(AData.size(), DatagramBuffer.size());
    std::copy_n(AData.begin(), count, DatagramBuffer.begin());
    const ArtNetDatagram datagram = DecodeArtNet(std::span(DatagramBuffer.data(), count));
    if (datagram.Kind == ArtNetPacketKind::NotArtNet) return;
    LastPackReceived = std::chrono::system_clock::now();
    if (datagram.Kind != ArtNetPacketKind::ArtDmx) return;

    LastUniverse = datagram.PortAddress;
    if (datagram.PortAddress < ReceiveRows && datagram.Length <= ArtDmxMaxLength) {
      // Only the bytes this datagram carries: a Length that claims more must not
      // pull an earlier datagram's tail out of DatagramBuffer.
      const std::size_t carried = std::min<std::size_t>(datagram.DataCount, datagram.Length);
      std::copy_n(DatagramBuffer.begin() + ArtDmxHeaderSize, carried,
                  ReceiveTable[datagram.PortAddress].begin());
    }
    if (OnArtDMX) OnArtDMX(*this, LastUniverse);
  } catch (...) {
    // A datagram that fails to be handled is dropped; the next one is handled as usual.
  }
}

bool TArtNet::SendDmx(std::uint16_t Universe, std::span<const std::uint8_t> Data,
                      std::uint16_t Length) {
  try {
    if (Length > ArtDmxMaxLength || Data.size() < Length) {
      SetSendError("Invalid DMX frame length.");
      return false;
    }
    if (UDPFactory == nullptr) {
      SetSendError("No UDP endpoint pool.");
      return false;
    }
    const std::string* destination = &DestinationIP;
    if (!TIdStack::ResolvesWithoutLookup(DestinationIP)) {
      destination = LookedUpDestination();
      if (destination == nullptr) return false;
    }
    const std::size_t size = EncodeArtDmx(Universe, Data, Length, Packet);
    UDPFactory->SendTo(BindIP, *destination, ArtNetPort, std::span(Packet.data(), size));
    SendErrorText.clear();
    return true;
  } catch (const std::exception& e) {
    SetSendError(e.what());
  } catch (...) {
    SetSendError("Unknown send error.");
  }
  return false;
}

// The address Open's lookup found for DestinationIP; none, with SendErrorText
// set, while it has no answer or when it failed. Never looks anything up.
const std::string* TArtNet::LookedUpDestination() {
  if (!DestinationLookup_ || DestinationLookup_->Host() != DestinationIP) {
    SetSendError(TIdStack::SocketErrorText(kWsaHostNotFound).c_str());
    return nullptr;
  }
  switch (DestinationLookup_->Poll()) {
    case TIdHostLookup::TState::Resolved:
      return &DestinationLookup_->Address();
    case TIdHostLookup::TState::Failed:
      SetSendError(DestinationLookup_->ErrorText().c_str());
      return nullptr;
    case TIdHostLookup::TState::Pending:
      break;
  }
  SendErrorText.clear();  // not an error yet: nothing is sent while waiting
  return nullptr;
}

bool TArtNet::IsWaitingForName() const {
  return DestinationLookup_ && DestinationLookup_->Host() == DestinationIP &&
         DestinationLookup_->State() == TIdHostLookup::TState::Pending;
}

void TArtNet::SetSendError(const char* Message) noexcept {
  try {
    SendErrorText = Message;
  } catch (...) {
    SendErrorText.clear();
  }
}

const TArtNet* TArtNet::ReceiverOf(const TUDPReadEvent& Handler) {
  const TReceiver* receiver = Handler.target<TReceiver>();
  return receiver != nullptr ? receiver->Endpoint : nullptr;
}

std::string TArtNet::GetShortError() const {
  return ShortErrorText(ErrorText);
}

std::string TArtNet::GetShortSendError() const {
  return ShortErrorText(SendErrorText);
}

// Counted in characters of UTF-8 (a byte 10xxxxxx continues the character
// before it), so that a non-ASCII text is never cut inside a sequence.
std::string ShortErrorText(const std::string& Text) {
  std::string result;
  result.reserve(std::min(Text.size(), 4 * ShortErrorLength));
  std::size_t characters = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const bool continues = (static_cast<unsigned char>(Text[i]) & 0xC0) == 0x80;
    if (!continues && characters++ == ShortErrorLength) break;
    if (Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') {
      result.push_back(' ');
      ++i;
    } else {
      result.push_back(Text[i]);
    }
  }
  return result;
}

}  // namespace pallador
