// The HTTP answers a fleet's monitoring reads: /api/health (the reader's
// state, 200 while it is attached and 503 while not, so that a probe acts
// on the status alone) and /metrics (Prometheus's text format).
//
// The Host rule has been applied before these are asked. A page of another
// origin may not read them either: a request with an Origin other than the
// service's own gets 403, and no CORS header is ever sent.
#pragma once

#include "listener.h"

#include <boost/beast/http.hpp>

#include <optional>

namespace stripedrvd {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The answer for /api/health or /metrics (GET or HEAD); nothing for any
// other target. Called on the network thread.
std::optional<HttpResponse> fieldAnswer(SharedState &shared, const HttpRequest &request);

// The health document of the moment.
json healthDocument(SharedState &shared);

} // namespace stripedrvd
