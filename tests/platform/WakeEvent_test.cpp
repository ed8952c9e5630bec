#include "platform/WakeEvent.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

namespace pallador {
namespace {

bool Readable(const TWakeEvent& Event, int TimeoutMs = 0) {
  pollfd entry{Event.Fd(), POLLIN, 0};
  return ::poll(&entry, 1, TimeoutMs) == 1 && (entry.revents & POLLIN) != 0;
}

TEST(WakeEvent, SignalsCoalesceUntilOneClear) {
  TWakeEvent event;
  EXPECT_FALSE(Readable(event));
  event.Signal();
  event.Signal();
  event.Signal();
  EXPECT_TRUE(Readable(event));
  event.Clear();
  EXPECT_FALSE(Readable(event));
  event.Clear();  // nothing to clear is harmless
  EXPECT_FALSE(Readable(event));
  event.Signal();
  EXPECT_TRUE(Readable(event));
}

TEST(WakeEvent, SignalFromAnotherThreadEndsAWait) {
  TWakeEvent event;
  std::thread signaller([&event] { event.Signal(); });
  EXPECT_TRUE(Readable(event, 5000));
  signaller.join();
}

}  // namespace
}  // namespace pallador
