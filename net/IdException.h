#pragma once

#include <stdexcept>
#include <string>

namespace pallador {

// The socket layer's exception family. The message is the user-visible text;
// these exceptions stay inside net/: the pool and the endpoint turn them into
// text and booleans.
class EIdException : public std::runtime_error {
 public:
  explicit EIdException(const std::string& Message) : std::runtime_error(Message) {}
};

// A platform call failed; the message is SocketErrorText(code).
class EIdSocketError : public EIdException {
 public:
  explicit EIdSocketError(int Code);
  int SocketErrorCode;
};

class EIdInvalidSocket : public EIdException {
 public:
  EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdStackError : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdStackInitializationFailed : public EIdStackError {
 public:
  EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};
class EIdStackSetSizeExceeded : public EIdStackError {
 public:
  EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};
class EIdInvalidIPAddress : public EIdStackError {
 public:
  explicit EIdInvalidIPAddress(const std::string& Text)
      : EIdStackError(Text + " is not a valid IP address.") {}
};

// Errors of one binding (bind, port range, send size).
class EIdSocketHandleError : public EIdException {
 public:
  using EIdException::EIdException;
};
class EIdCouldNotBindSocket : public EIdSocketHandleError {
 public:
  EIdCouldNotBindSocket()
      : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};
class EIdInvalidPortRange : public EIdSocketHandleError {
 public:
  EIdInvalidPortRange(int Min, int Max)
      : EIdSocketHandleError("Invalid Port Range (" + std::to_string(Min) + " - " +
                             std::to_string(Max) + ")") {}
};
class EIdCanNotBindPortInRange : public EIdSocketHandleError {
 public:
  EIdCanNotBindPortInRange(int Min, int Max)
      : EIdSocketHandleError("Can not bind in port range (" + std::to_string(Min) + " - " +
                             std::to_string(Max) + ")") {}
};
class EIdPackageSizeTooBig : public EIdSocketHandleError {
 public:
  EIdPackageSizeTooBig() : EIdSocketHandleError("Package Size Too Big.") {}
};
class EIdNotAllBytesSent : public EIdSocketHandleError {
 public:
  EIdNotAllBytesSent() : EIdSocketHandleError("Not all bytes sent.") {}
};

}  // namespace pallador
