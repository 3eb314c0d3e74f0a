#include "endpoints.h"

#include "metrics.h"
#include "presence.h"

#include <ctime>

namespace stripedrvd {

namespace http = boost::beast::http;

namespace {

const std::chrono::steady_clock::time_point kStarted = std::chrono::steady_clock::now();

json textOrNull(const std::string &text)
{
    return text.empty() ? json(nullptr) : json(text);
}

// "2026-12-08T17:40:55Z"
std::string utcTime(std::chrono::system_clock::time_point at)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The service's own origins are its own Host names over http; the
// origins let in for the WebSocket (a kiosk's page) may use the reader,
// not read the service's figures.
bool ownOrigin(const AccessRules &rules, const std::string &origin)
{
    const std::string normal = normalOrigin(origin);
    for (const std::string &host : rules.hosts)
        if (normal == "http://" + host)
            return true;
    return false;
}

std::string pathOf(const HttpRequest &request)
{
    std::string target(request.target());
    return target.substr(0, target.find('?'));
}

HttpResponse respond(const HttpRequest &request, http::status status, const char *type,
                     std::string body)
{
    HttpResponse response{status, request.version()};
    response.keep_alive(request.keep_alive());
    response.set(http::field::server, "stripedrvd");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set(http::field::content_type, type);
    response.body() = std::move(body);
    response.prepare_payload();
    if (request.method() == http::verb::head)
        response.body().clear(); // Content-Length stays that of the body
    return response;
}

} // namespace

json healthDocument(SharedState &shared)
{
    const Presence &presence = shared.presence;
    json last = nullptr;
    if (auto done = shared.metrics.last())
        last = {{"op", opName(done->op)}, {"code", done->code}, {"at", utcTime(done->at)}};
    const auto uptime = std::chrono::steady_clock::now() - kStarted;
    return {{"ok", presence.present()},
            {"present", presence.present()},
            {"port", textOrNull(presence.port())},
            {"firmware", textOrNull(presence.firmware())},
            {"last", last},
            {"uptime_s", std::chrono::duration_cast<std::chrono::seconds>(uptime).count()},
            {"queue", shared.queue.waiting()},
            {"clients", shared.presence.watchers()}};
}

std::optional<HttpResponse> fieldAnswer(SharedState &shared, const HttpRequest &request)
{
    const std::string path = pathOf(request);
    if (path != "/api/health" && path != "/metrics")
        return std::nullopt;
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        HttpResponse refused = respond(request, http::status::method_not_allowed,
                                       "text/plain; charset=utf-8", "only GET and HEAD\n");
        refused.set(http::field::allow, "GET, HEAD");
        return refused;
    }
    auto origin = request.find(http::field::origin);
    if (origin != request.end() && !ownOrigin(shared.rules, std::string(origin->value())))
        return respond(request, http::status::forbidden, "text/plain; charset=utf-8",
                       "forbidden: only the service's own pages may read this\n");
    if (path == "/metrics")
        return respond(request, http::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                       shared.metrics.scrape(shared.queue.waiting(), shared.presence.watchers()));
    const json health = healthDocument(shared);
    return respond(request,
                   shared.presence.present() ? http::status::ok
                                             : http::status::service_unavailable,
                   "application/json",
                   health.dump(-1, ' ', false, json::error_handler_t::replace));
}

} // namespace stripedrvd
