#include "net/IdException.h"

#include "net/IdStack.h"

namespace pallador {

EIdSocketError::EIdSocketError(int Code)
    : EIdException(TIdStack::SocketErrorText(Code)), SocketErrorCode(Code) {}

}  // namespace pallador
