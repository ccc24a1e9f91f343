#include "delivery/delivery.h"

namespace rureza {

// Not built yet: the request is logged by the dispatcher and the connection closed.
void SendAviStream(const Socket& /*socket*/, ServerRun& /*run*/, const MediaPath& /*path*/) {}

}  // namespace rureza
