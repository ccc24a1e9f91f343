#include "delivery/delivery.h"

namespace rureza {

// Not built yet: the request is logged by the dispatcher and the connection closed.
void SendMediaListing(const Socket& /*socket*/, ServerRun& /*run*/) {}

}  // namespace rureza
