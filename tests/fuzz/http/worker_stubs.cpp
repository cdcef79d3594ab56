// The request reader lives in the same file as the connection worker, which reaches into
// the route table and the event stream. The fuzzer never runs the worker, so these stand
// in for them and keep the routes and the Bluetooth side out of the fuzzer.
#include "main/event_stream.h"
#include "main/routes.h"

namespace chair {

std::span<const Route> routes() { return {}; }

void serve_events(ServiceState&, sys::Socket&) {}

}  // namespace chair
