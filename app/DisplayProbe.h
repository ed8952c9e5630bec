#pragma once

#include <chrono>

namespace pallador {

// Whether the X display named by DISPLAY accepts a client within Timeout.
// False when DISPLAY is empty, when nobody serves it, when the server refuses
// the client, and when it does not answer in time (a stale forwarded session
// that accepts connections and never replies). Call it before the window
// system starts, while the process has a single thread: the connection is
// tried in a child process, which is killed when the time is up.
bool XDisplayAnswers(std::chrono::milliseconds Timeout);

}  // namespace pallador
