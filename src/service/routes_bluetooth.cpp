// Whether Bluetooth can be used, in the words people are shown.
#include "service/routes.h"

namespace chair::routes {

// Asked now, not read from memory: a UI that shows the state asks when it needs it, and a
// change it finds is published like any other.
http::Reply bluetooth(Service& service, const http::Request&) {
  const ble::Availability a = service.check_bluetooth(/*log_change=*/true);
  return http::Reply::json({{"message", a.message}, {"state", availability_name(a.state)}});
}

}  // namespace chair::routes
