// The running core as the window drives it: the pool, the seventeen slots with
// their ports and endpoints on real loopback sockets, the clock's tick called
// directly, datagrams from a peer. The input is a sequence of steps (below);
// after every step:
// - no server's read handler belongs to an endpoint that is gone (a freed
//   endpoint left attached runs on the next datagram to that server);
// - every slot status is one of the fixed texts, empty, or the short form of a
//   message the socket layer produces;
// - no step takes longer than kStepBound (a watchdog aborts the run).
// A name lookup on the tick aborts at once (LoopbackGuard); nothing is ever
// sent beyond loopback, and every address is one of 127.0.12.0/24 (this
// target's block), 0.0.0.0 or a text that is not local (198.51.100.1).
//
// Steps of five bytes, an opcode (its value modulo 8) and four arguments
// (missing ones at the end of the input read as zero), at most kMaxSteps:
//   0 slot bind text      slot, text      1 slot destination text  slot, text
//   2 slot Active         slot, on        3 connect (DisconnectAll, ConnectAll)
//   4 disconnect (DisconnectAll)          5 ticks                  count
//   6 datagram from the peer              target, universe, length, level
//   7 slot type or universe numbers       slot, what, value
// Texts are picked by index from Texts() (make_seeds.py mirrors its order).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "artnet/classArtNet.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/LoopbackGuard.h"
#include "interfaces/UniverseTable.h"
#include "interfaces/classInterfaceArtNetNode.h"
#include "interfaces/classInterfaceArtNetServer.h"
#include "interfaces/classInterfaceInfo.h"
#include "net/classUDPFactory.h"
#include "platform/MainThreadQueue.h"

namespace pallador {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStepBound = std::chrono::seconds(2);
constexpr auto kDeliveryDeadline = std::chrono::milliseconds(1500);
constexpr std::size_t kMaxSteps = 48;
constexpr int kSlots = 17;
constexpr const char* kPeerIP = "127.0.12.200";

// ---- address texts --------------------------------------------------------

struct TAddress {
  unsigned A, B, C, D;
};
constexpr TAddress kAddresses[] = {
    {127, 0, 12, 1}, {127, 0, 12, 2}, {127, 0, 12, 3}, {198, 51, 100, 1}};

std::string Format(const char* Pattern, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* Pattern, ...) {
  char text[64];
  va_list arguments;
  va_start(arguments, Pattern);
  std::vsnprintf(text, sizeof text, Pattern, arguments);
  va_end(arguments);
  return text;
}

// One address in every notation the port dialog accepts and in the forms a
// hand-edited settings file may hold.
std::vector<std::string> Notations(const TAddress& N) {
  const unsigned a = N.A, b = N.B, c = N.C, d = N.D;
  return {
      Format("%u.%u.%u.%u", a, b, c, d),     Format("%03u.%03u.%03u.%03u", a, b, c, d),
      Format("0%u.%u.%u.%u", a, b, c, d),    Format("$%X.%u.%u.%u", a, b, c, d),
      Format("x%X.%u.%u.%u", a, b, c, d),    Format("X%x.%u.%u.%u", a, b, c, d),
      Format("0x%X.%u.%u.%u", a, b, c, d),   Format("0X%x.%u.%u.%u", a, b, c, d),
      Format(" %u.%u.%u.%u", a, b, c, d),    Format("   %u.%u.%u.%u", a, b, c, d),
      Format("+%u.%u.%u.%u", a, b, c, d),    Format(" +$%X.%u.%u.%u", a, b, c, d),
      Format("%u.%u.%u.%u.", a, b, c, d),    Format("%u.%u.%u.%u ", a, b, c, d),
      Format("%u.%u.%u", a, b, c * 256 + d), Format("%u", a << 24 | b << 16 | c << 8 | d),
      Format("%u.%u.%u.0%u", a, b, c, d),    Format("-%u.%u.%u.%u", a, b, c, d),
  };
}

// Index 0 to 15 the fixed texts, then for each address of kAddresses its
// eighteen notations; an index byte wraps around the whole table.
const std::vector<std::string>& Texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all = {
        "",
        " ",
        "0.0.0.0",
        "000.000.000.000",
        "localhost",
        "invalid.",
        "name.invalid",
        "127.0.12.",
        "127..12.1",
        "255.255.255.255",
        "127.255.255.255",
        "198.51.100.1",
        // 127.0.012.001 in full-width digits
        "\xef\xbc\x91\xef\xbc\x92\xef\xbc\x97.\xef\xbc\x90."
        "\xef\xbc\x90\xef\xbc\x91\xef\xbc\x92.\xef\xbc\x90\xef\xbc\x90\xef\xbc\x91",
        "127.0.12.1\xc3\xa9",
        "1.2.3.4.5",
        "127.0.12.1\r\n",
    };
    for (const TAddress& address : kAddresses) {
      for (std::string& text : Notations(address)) all.push_back(std::move(text));
    }
    return all;
  }();
  return texts;
}

const std::string& TextAt(std::uint8_t Index) {
  return Texts()[Index % Texts().size()];
}

// ---- the step watchdog ----------------------------------------------------

std::atomic<std::int64_t> gStepStart{0};  // steady clock ticks; 0 between steps
std::atomic<int> gStepOp{-1};
std::atomic<bool> gFailing{false};  // a check failed: the crash report is being written
struct sigaction gPreviousAbort {};

// Marks the run as failing, then hands on to the handler that was there
// (libFuzzer's, which writes the input): the watchdog must not abort again
// while that report is slow to print.
void OnAbort(int Signal, siginfo_t* Info, void* Context) {
  gFailing = true;
  if ((gPreviousAbort.sa_flags & SA_SIGINFO) != 0) {
    gPreviousAbort.sa_sigaction(Signal, Info, Context);
  } else if (gPreviousAbort.sa_handler != SIG_DFL && gPreviousAbort.sa_handler != SIG_IGN) {
    gPreviousAbort.sa_handler(Signal);
  }
  // Otherwise return: abort() then ends the process with the default action.
}

void Watch() {
  while (!gFailing) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::int64_t start = gStepStart.load();
    if (start == 0) continue;
    const auto took = Clock::now().time_since_epoch() - Clock::duration(start);
    if (took > kStepBound && !gFailing) {
      std::fprintf(stderr, "step %d blocked for more than %lld ms\n", gStepOp.load(),
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(kStepBound).count()));
      std::abort();
    }
  }
}

void StartWatchdog() {
  struct sigaction action {};
  action.sa_sigaction = OnAbort;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGABRT, &action, &gPreviousAbort);
  std::thread(Watch).detach();
}

class TStepTimer {
 public:
  explicit TStepTimer(int Op) {
    gStepOp = Op;
    gStepStart = Clock::now().time_since_epoch().count();
  }
  ~TStepTimer() { gStepStart = 0; }
  TStepTimer(const TStepTimer&) = delete;
  TStepTimer& operator=(const TStepTimer&) = delete;
};

// ---- threads that outlive an input ----------------------------------------

int ThreadCount() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

// Name lookups run on detached workers that end on their own, soon after the
// lookup's owner may be gone: each input waits for them (at most a second), so
// that the next input starts alone and a leak check does not meet a worker
// still unwinding its resolver's failure.
void WaitForWorkers(int Baseline) {
  const auto end = Clock::now() + std::chrono::seconds(1);
  while (ThreadCount() > Baseline && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// ---- the peer -------------------------------------------------------------

class TPeer {
 public:
  TPeer() {
    Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(Fd_ >= 0, "peer socket");
    const sockaddr_in address = Address(kPeerIP, 0);
    FUZZ_CHECK(::bind(Fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
               "peer bind");
  }
  bool Send(const std::string& IP, std::span<const std::uint8_t> Bytes) const {
    const sockaddr_in to = Address(IP, 6454);
    return ::sendto(Fd_, Bytes.data(), Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(Bytes.size());
  }

 private:
  static sockaddr_in Address(const std::string& IP, int Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    FUZZ_CHECK(::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) == 1, "peer address");
    return address;
  }
  int Fd_ = -1;
};

std::vector<std::uint8_t> ArtDmx(std::uint16_t Universe, std::uint16_t Length, std::size_t Carried,
                                 std::uint8_t Level) {
  std::vector<std::uint8_t> bytes = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x50, 0, 14, 0, 0};
  bytes.push_back(static_cast<std::uint8_t>(Universe & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(Universe >> 8));
  bytes.push_back(static_cast<std::uint8_t>(Length >> 8));
  bytes.push_back(static_cast<std::uint8_t>(Length & 0xFF));
  bytes.resize(bytes.size() + Carried, Level);
  return bytes;
}

// ---- the core and its checks ----------------------------------------------

// Utf-8 code points, or -1 when Text is not well-formed UTF-8.
long CodePoints(const std::string& Text) {
  long count = 0;
  for (std::size_t i = 0; i < Text.size(); ++count) {
    const auto lead = static_cast<unsigned char>(Text[i]);
    const std::size_t length = lead < 0x80         ? 1
                               : (lead >> 5) == 6  ? 2
                               : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30 ? 4
                                                   : 0;
    if (length == 0 || i + length > Text.size()) return -1;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(Text[i + k]) >> 6) != 2) return -1;
    }
    i += length;
  }
  return count;
}

// A message made one line (CR LF as one space) and cut to 25 characters.
std::string ShortForm(const std::string& Message) {
  std::string line;
  for (std::size_t i = 0; i < Message.size(); ++i) {
    if (Message[i] == '\r' && i + 1 < Message.size() && Message[i + 1] == '\n') {
      line.push_back(' ');
      ++i;
    } else {
      line.push_back(Message[i]);
    }
  }
  std::string cut;
  long count = 0;
  for (std::size_t i = 0; i < line.size() && count < 25; ++count) {
    std::size_t next = i + 1;
    while (next < line.size() && (static_cast<unsigned char>(line[next]) >> 6) == 2) ++next;
    cut.append(line, i, next - i);
    i = next;
  }
  return cut;
}

bool IsSocketErrorText(const std::string& Status) {
  static const std::string prefix = "Socket Error # ";
  if (Status.rfind(prefix, 0) != 0 || Status.size() == prefix.size()) return false;
  return std::isdigit(static_cast<unsigned char>(Status[prefix.size()])) != 0;
}

void CheckStatus(const TInterfaceInfo& Slot) {
  const std::string status = Slot.Status();
  static const char* const kFixed[] = {"", "Not connected, port closed.",
                                       "Error, socket not available", "Error, socket in use",
                                       "Error, network down"};
  for (const char* text : kFixed) {
    if (status == text) return;
  }
  FUZZ_CHECK(CodePoints(status) >= 0, "a status is well-formed UTF-8");
  FUZZ_CHECK(CodePoints(status) <= 25, "a status holds at most 25 characters");
  if (IsSocketErrorText(status)) return;
  std::vector<std::string> messages = {
      "Could not bind socket. Address and port are already in use.",
      "Cannot allocate socket.",
      "Winsock Initialization Error.",
      "Set Size Exceeded.",
      "Package Size Too Big.",
      "Not all bytes sent.",
      "Invalid DMX frame length.",
      "No UDP endpoint pool.",
      "Unknown send error.",
  };
  // What the port was given (the slot's texts may have changed since).
  const TInterfaceBase& port = *Slot.InterfaceObject;
  messages.push_back(port.BindIP + " is not a valid IP address.");
  if (const auto* output = dynamic_cast<const TInterfaceArtNetServer*>(&port)) {
    messages.push_back(output->Endpoint->DestinationIP + " is not a valid IP address.");
  }
  for (const std::string& message : messages) {
    if (status == ShortForm(message)) return;
  }
  std::fprintf(stderr, "slot status \"%s\"\n", status.c_str());
  FUZZ_CHECK(false, "a status is a fixed text or a socket layer message's short form");
}

const TArtNet* EndpointOf(const TInterfaceInfo& Slot) {
  const TInterfaceBase* port = Slot.InterfaceObject.get();
  if (const auto* input = dynamic_cast<const TInterfaceArtNetNode*>(port)) {
    return input->Endpoint.get();
  }
  if (const auto* output = dynamic_cast<const TInterfaceArtNetServer*>(port)) {
    return output->Endpoint.get();
  }
  return nullptr;
}

struct TCore {
  TCore() : Pool(std::make_unique<TUDPFactory>(nullptr)) {
    Slots = std::make_unique<TInterfacesInfo>(nullptr, Pool.get());
    // The defaults name addresses of real networks: start from this target's block.
    Slots->Slot(0).Port = "127.0.12.1";
    for (int i = 1; i < kSlots; ++i) {
      Slots->Slot(i).Port = "127.0.12.2";
      Slots->Slot(i).Destination = "127.0.12.3";
    }
  }
  ~TCore() {
    Slots->DisconnectAll();
    Check();
    Pool.reset();  // as at shutdown: the pool first, then the slots
    Slots.reset();
    MainThread().ProcessQueue();
  }
  TCore(const TCore&) = delete;
  TCore& operator=(const TCore&) = delete;

  void Check() const {
    std::vector<const TArtNet*> live;
    for (int i = 0; i < kSlots; ++i) {
      if (const TArtNet* endpoint = EndpointOf(Slots->Slot(i))) live.push_back(endpoint);
    }
    for (int i = 0; i < Pool->Count(); ++i) {
      const TIdUDPServer& server = *Pool->Items(i);
      if (!server.OnUDPRead) continue;
      const TArtNet* owner = TArtNet::ReceiverOf(server.OnUDPRead);
      if (owner == nullptr || std::find(live.begin(), live.end(), owner) == live.end()) {
        std::fprintf(stderr, "server %d (%s) keeps the handler of an endpoint that is gone\n", i,
                     server.ActiveBinding ? server.ActiveBinding->IP.c_str() : "?");
        FUZZ_CHECK(false, "every read handler belongs to a live endpoint");
      }
    }
    for (int i = 0; i < kSlots; ++i) CheckStatus(Slots->Slot(i));
  }

  // Whether a datagram to IP reaches one of the pool's servers.
  bool HasReceiverFor(const std::string& IP) const {
    for (int i = 0; i < Pool->Count(); ++i) {
      TIdUDPServer& server = *Pool->Items(i);
      if (server.ActiveBinding == nullptr || !server.Active()) continue;
      const std::string& bound = server.ActiveBinding->IP;
      if (bound == IP || bound == "0.0.0.0") return true;
    }
    return false;
  }

  // Runs what the listeners handed to the main thread, until it has been quiet
  // for a moment: datagrams the ticks sent to the pool's own servers.
  void Settle() {
    const auto end = Clock::now() + std::chrono::milliseconds(500);
    int quiet = 0;
    while (quiet < 3 && Clock::now() < end) {
      if (MainThread().ProcessQueue() == 0) {
        ++quiet;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      } else {
        quiet = 0;
      }
    }
  }

  std::unique_ptr<TUDPFactory> Pool;
  std::unique_ptr<TInterfacesInfo> Slots;
};

const TPeer& Peer() {
  static const TPeer* peer = new TPeer;  // lives for the whole run
  return *peer;
}

constexpr const char* kTypes[] = {TypeArtNetNodeInput,        TypeArtNetServerOutput,
                                  TypeArtNet1024ServerOutput, TypeUsbInterface,
                                  TypeUsbInterfaceInput,      ""};
constexpr std::int32_t kUniverses[] = {
    0, 3, 15, 16, 17, 63, 64, 255, 256, -1, 65537, 2147483647, -2147483647 - 1};
constexpr std::uint16_t kLengths[] = {512, 0, 1, 100, 511, 513, 2048, 2049};
constexpr const char* kTargets[] = {"127.0.12.1", "127.0.12.2", "127.0.12.3", "127.0.12.4"};

void Step(TCore& Core, std::uint8_t Op, const std::uint8_t* Arg) {
  TInterfacesInfo& slots = *Core.Slots;
  TInterfaceInfo& slot = slots.Slot(Arg[0] % kSlots);
  const TStepTimer timer(Op);
  switch (Op) {
    case 0:
      slot.Port = TextAt(Arg[1]);
      break;
    case 1:
      slot.Destination = TextAt(Arg[1]);
      break;
    case 2:
      slot.Active = (Arg[1] & 1) != 0;
      break;
    case 3:  // the window's reconnect
      slots.DisconnectAll();
      Core.Check();  // before new endpoints can reuse the freed memory
      slots.ConnectAll();
      break;
    case 4:
      slots.DisconnectAll();
      break;
    case 5: {
      const std::uint64_t sent = fuzzguard::LoopbackSends();
      for (int i = 0; i <= Arg[0] % 3; ++i) {
        const fuzzguard::TTickScope tick;
        slots.UpdateAll();
      }
      if (fuzzguard::LoopbackSends() != sent) Core.Settle();
      break;
    }
    case 6: {
      const std::string target = kTargets[Arg[0] % std::size(kTargets)];
      const std::uint16_t universe = Arg[1] < 240 ? static_cast<std::uint16_t>(Arg[1] % 20)
                                                  : static_cast<std::uint16_t>(Arg[1] << 4);
      const std::uint16_t length = kLengths[Arg[2] % std::size(kLengths)];
      const std::size_t carried = std::min<std::size_t>(length, Arg[2] >= 128 ? 600 : length / 2);
      const bool receiver = Core.HasReceiverFor(target);
      FUZZ_CHECK(Peer().Send(target, ArtDmx(universe, length, carried, Arg[3])), "peer send");
      if (receiver) {
        // The listener hands the datagram to the main thread; run it there.
        const auto end = Clock::now() + kDeliveryDeadline;
        std::size_t ran = 0;
        while (ran == 0 && Clock::now() < end) {
          ran = MainThread().ProcessQueue();
          if (ran == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        FUZZ_CHECK(ran > 0, "a datagram to a bound address reaches the main thread");
      }
      Core.Settle();
      break;
    }
    case 7:
      switch (Arg[1] % 3) {
        case 0:
          slot.InterfaceType = kTypes[Arg[2] % std::size(kTypes)];
          break;
        case 1:
          slot.Universe = kUniverses[Arg[2] % std::size(kUniverses)];
          break;
        default:
          slot.UniverseArtNet = kUniverses[Arg[2] % std::size(kUniverses)];
          break;
      }
      break;
    default:
      break;
  }
  MainThread().ProcessQueue();
  Core.Check();
}

}  // namespace
}  // namespace pallador

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  using namespace pallador;
  static const int threads = [] {
    StartWatchdog();
    return ThreadCount();
  }();
  UniverseTable().Clear();
  {
    TCore core;
    std::size_t at = 0;
    for (std::size_t steps = 0; at < Size && steps < kMaxSteps; ++steps) {
      std::uint8_t step[5] = {};
      std::copy_n(Data + at, std::min<std::size_t>(5, Size - at), step);
      at += 5;
      Step(core, static_cast<std::uint8_t>(step[0] % 8), step + 1);
    }
  }
  WaitForWorkers(threads);
  return 0;
}
