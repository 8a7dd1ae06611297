// StatusPages.cpp -- /metrics in the Prometheus text format, /status as one self-contained HTML page, /health in a line.
#include "StatusPages.h"

#include <stdio.h>

#include <algorithm>

#include "CannedResponse.h"

namespace {

std::string Number(unsigned long long value) { return std::to_string(value); }

std::string Decimal(double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

std::string HexResult(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string Utc(time_t when) {
    if (when == 0) return "never";
    tm parts = {};
#ifdef _WIN32
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%SZ", &parts);
    return text;
}

std::string Ago(time_t when, time_t now) {
    if (when == 0) return "";
    long seconds = static_cast<long>(now - when);
    if (seconds < 60) return std::to_string(seconds < 0 ? 0 : seconds) + " s ago";
    if (seconds < 3600) return std::to_string(seconds / 60) + " min ago";
    if (seconds < 86400) return std::to_string(seconds / 3600) + " h ago";
    return std::to_string(seconds / 86400) + " d ago";
}

std::string Html(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// One figure with its HELP and TYPE lines.
void Figure(std::string& out, const char* name, const char* type, const char* help, const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " + value + "\n";
}

std::string OutcomeText(RequestResult result, unsigned status) {
    std::string text = RequestResultText(result);
    if (result == RequestResult::Refused && status) text += " with " + std::to_string(status);
    return text;
}

}  // namespace

HealthVerdict JudgeHealth(const ListenerCounters::Health& health, const EventManagerState& manager) {
    if (!manager.created)
        return {false, "the event manager KVLUMEN.EventManagerEx cannot be created (hr " + HexResult(manager.createResult) + ")"};
    if (!manager.ready) return {false, "the event manager is not ready: " + manager.summary};
    if (health.anyDelivery && !health.lastSucceeded) {
        std::string reason = "the last " + Number(health.failuresSinceSuccess) + " deliveries failed (" +
                             RequestResultText(health.lastResult) + ", hr " + HexResult(health.lastHr) +
                             ") and none has succeeded since";
        if (health.lastSuccessAt) reason += " " + Utc(health.lastSuccessAt);
        return {false, reason};
    }
    if (!health.anyDelivery) return {true, "ok: no event yet; the event manager can be created"};
    return {true, "ok: deliveries succeed (the last at " + Utc(health.lastSuccessAt) + ")"};
}

std::string MetricsText(const ListenerCounters::Snapshot& c, const ListenerGauges& g, const EventManagerState& manager,
                        size_t printers) {
    std::string out;
    out.reserve(4096 + manager.metrics.size());
    Figure(out, "kvlumen_start_time_seconds", "gauge", "When the listener's module started counting, as a Unix time.",
           Number(static_cast<unsigned long long>(c.startedAt)));
    Figure(out, "kvlumen_connections_accepted_total", "counter", "Connections accepted.", Number(c.accepted));
    out += "# HELP kvlumen_requests_total Connections by how their request ended.\n# TYPE kvlumen_requests_total counter\n";
    for (size_t i = 0; i < static_cast<size_t>(ListenerCounters::Outcome::Count); ++i)
        out += std::string("kvlumen_requests_total{outcome=\"") +
               ListenerCounters::OutcomeName(static_cast<ListenerCounters::Outcome>(i)) + "\"} " + Number(c.outcomes[i]) + "\n";
    out += "# HELP kvlumen_refusals_total Requests answered with a refusal, by its status.\n"
           "# TYPE kvlumen_refusals_total counter\n";
    for (size_t i = 0; i < ListenerCounters::kRefusalStatusCount; ++i)
        out += "kvlumen_refusals_total{status=\"" + Number(ListenerCounters::kRefusalStatuses[i]) + "\"} " +
               Number(c.refusals[i]) + "\n";
    Figure(out, "kvlumen_received_bytes_total", "counter", "Bytes received from peers, header sections included.",
           Number(c.bytesReceived));
    Figure(out, "kvlumen_delivered_bytes_total", "counter", "Bytes of bodies the event manager took.",
           Number(c.bytesDelivered));
    out += "# HELP kvlumen_delivery_seconds Time of Deliver (with the event manager's creation) per event.\n"
           "# TYPE kvlumen_delivery_seconds histogram\n";
    for (size_t i = 0; i < ListenerCounters::kDeliveryBucketCount; ++i)
        out += "kvlumen_delivery_seconds_bucket{le=\"" + Decimal(ListenerCounters::kDeliveryBuckets[i]) + "\"} " +
               Number(c.deliveryBuckets[i]) + "\n";
    out += "kvlumen_delivery_seconds_bucket{le=\"+Inf\"} " + Number(c.deliveries) + "\n";
    out += "kvlumen_delivery_seconds_sum " + Decimal(c.deliverySeconds) + "\n";
    out += "kvlumen_delivery_seconds_count " + Number(c.deliveries) + "\n";
    Figure(out, "kvlumen_connections_open", "gauge", "Connections being served.", Number(g.connectionsOpen));
    Figure(out, "kvlumen_connections_waiting", "gauge", "Connections waiting for a handler.", Number(g.connectionsWaiting));
    Figure(out, "kvlumen_handler_threads", "gauge", "Handler threads, busy or idle.", Number(g.handlerThreads));
    Figure(out, "kvlumen_handler_threads_idle", "gauge", "Handler threads waiting for a connection.",
           Number(g.idleHandlerThreads));
    Figure(out, "kvlumen_buffered_bytes", "gauge", "Request bytes held now (the budget is maxBufferedMB).",
           Number(g.bufferedBytes));
    Figure(out, "kvlumen_printers", "gauge", "Printer addresses in the status table (at most 10000).", Number(printers));
    Figure(out, "kvlumen_event_manager_ready", "gauge",
           "1 when the event manager can be created and says it is ready, else 0.",
           manager.created && manager.ready ? "1" : "0");
    out += manager.metrics;
    if (!manager.metrics.empty() && manager.metrics.back() != '\n') out += "\n";
    return out;
}

std::string StatusPage(const ListenerCounters::Snapshot& c, const ListenerGauges& g, const EventManagerState& manager,
                       const HealthVerdict& health, std::vector<PeerTable::Row> rows, const std::string& sortKey) {
    const time_t now = time(nullptr);
    auto outcome = [&](ListenerCounters::Outcome o) { return c.outcomes[static_cast<size_t>(o)]; };
    std::string page;
    page.reserve(8192 + rows.size() * 200);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>KVLUMEN.Listener on port " + Number(g.port) + "</title><style>"
            "body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}h1{font-size:1.4em}"
            "h2{font-size:1.1em;margin-top:1.5em}table{border-collapse:collapse}"
            "td,th{padding:.25em .8em;border-bottom:1px solid #ddd;text-align:left}"
            "td.n{text-align:right;font-variant-numeric:tabular-nums}"
            ".healthy{color:#176b2c}.unhealthy{color:#b00020}tr.quiet td{background:#fff4d6}"
            "tr.failing td{background:#fde2e2}svg{background:#fafafa;border:1px solid #ddd}"
            "rect.bar{fill:#3a78c2}a{color:#1a4f8b}.muted{color:#777}"
            "</style></head><body>\n";
    page += "<h1>KVLUMEN.Listener on port " + Number(g.port) + ": <span id=\"health\" class=\"" +
            (health.healthy ? "healthy\">healthy" : "unhealthy\">unhealthy") + "</span></h1>\n";
    page += "<p id=\"health-reason\">" + Html(health.reason) + "</p>\n";

    page += "<h2>Since " + Utc(c.startedAt) + "</h2>\n<table id=\"counters\">";
    auto row = [&](const std::string& name, unsigned long long value) {
        page += "<tr><th>" + name + "</th><td class=\"n\">" + Number(value) + "</td></tr>";
    };
    row("Connections accepted", c.accepted);
    row("Events delivered", outcome(ListenerCounters::Outcome::Delivered));
    row("Deliveries failed", outcome(ListenerCounters::Outcome::DeliveryFailed));
    row("Event manager not created", outcome(ListenerCounters::Outcome::ManagerNotCreated));
    row("Not delivered (no memory, COM)", outcome(ListenerCounters::Outcome::NotDelivered));
    row("Refused (4xx, 5xx)", outcome(ListenerCounters::Outcome::Refused));
    row("Timed out", outcome(ListenerCounters::Outcome::TimedOut));
    row("Incomplete", outcome(ListenerCounters::Outcome::Incomplete));
    row("Closed at once (too many from one address)", outcome(ListenerCounters::Outcome::PeerLimit));
    row("Probes (GET, HEAD)", outcome(ListenerCounters::Outcome::Probe));
    row("Bytes received", c.bytesReceived);
    row("Connections open now", static_cast<unsigned long long>(g.connectionsOpen));
    row("Connections waiting for a handler", static_cast<unsigned long long>(g.connectionsWaiting));
    page += "<tr><th>Handler threads</th><td class=\"n\">" + Number(static_cast<unsigned long long>(g.handlerThreads)) +
            " (" + Number(static_cast<unsigned long long>(g.idleHandlerThreads)) + " idle)</td></tr>";
    page += "<tr><th>Mean delivery time</th><td class=\"n\">" +
            (c.deliveries ? Decimal(c.deliverySeconds * 1000.0 / static_cast<double>(c.deliveries)) + " ms" : std::string("-")) +
            "</td></tr></table>\n";
    page += "<p class=\"muted\">acknowledge: " + Html(g.acknowledge) + "; deliveries from: " + Html(g.allowedPeers) +
            "; this page and /metrics from: " + Html(g.statusFrom) + "</p>\n";

    page += "<h2>Event manager</h2>\n<p id=\"manager\">";
    if (!manager.created)
        page += "<span class=\"unhealthy\">cannot be created</span> (hr " + HexResult(manager.createResult) + ")";
    else if (!manager.reportsStatus)
        page += "created; it does not say more about itself";
    else
        page += std::string(manager.ready ? "<span class=\"healthy\">ready</span>: " : "<span class=\"unhealthy\">not ready</span>: ") +
                Html(manager.summary);
    page += "</p>\n";

    // Events per minute over the last hour, the oldest on the left.
    uint32_t highest = 1;
    for (uint32_t count : c.perMinute) highest = std::max(highest, count);
    const int width = 600, height = 120, bar = width / 60;
    page += "<h2>Events per minute, the last hour (most: " + Number(highest) + ")</h2>\n";
    page += "<svg id=\"per-minute\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(width) + "\" height=\"" +
            Number(height) + "\" viewBox=\"0 0 " + Number(width) + " " + Number(height) +
            "\" role=\"img\" aria-label=\"events per minute\">";
    for (int i = 0; i < 60; ++i) {
        int h = static_cast<int>(static_cast<unsigned long long>(c.perMinute[i]) * (height - 10) / highest);
        if (c.perMinute[i] && h == 0) h = 1;
        page += "<rect class=\"bar\" x=\"" + Number(i * bar) + "\" y=\"" + Number(height - h) + "\" width=\"" +
                Number(bar - 1) + "\" height=\"" + Number(h) + "\"><title>" +
                (i == 59 ? std::string("this minute") : Number(59 - i) + " min ago") + ": " + Number(c.perMinute[i]) +
                "</title></rect>";
    }
    page += "</svg>\n";

    // The printers; the longest silent first unless asked otherwise.
    std::string key = sortKey;
    if (key == "address") {
        std::sort(rows.begin(), rows.end(),
                  [](const PeerTable::Row& a, const PeerTable::Row& b) { return a.address.AddressText() < b.address.AddressText(); });
    } else if (key == "events") {
        std::sort(rows.begin(), rows.end(), [](const PeerTable::Row& a, const PeerTable::Row& b) { return a.events > b.events; });
    } else if (key == "failures") {
        std::sort(rows.begin(), rows.end(), [](const PeerTable::Row& a, const PeerTable::Row& b) { return a.failures > b.failures; });
    } else {
        key = "last";
        std::sort(rows.begin(), rows.end(), [](const PeerTable::Row& a, const PeerTable::Row& b) { return a.lastSeen < b.lastSeen; });
    }
    page += "<h2>Printers (" + Number(rows.size()) + ", sorted by " + key + ")</h2>\n";
    page += "<table id=\"printers\"><thead><tr><th><a href=\"?sort=address\">Address</a></th>"
            "<th><a href=\"?sort=events\">Events</a></th><th><a href=\"?sort=last\">Last seen</a></th>"
            "<th>Last outcome</th><th><a href=\"?sort=failures\">Failures</a></th></tr></thead><tbody>\n";
    for (const PeerTable::Row& r : rows) {
        // A printer silent for an hour, or whose last request failed, stands out.
        const char* cls = r.lastResult != RequestResult::Delivered ? " class=\"failing\""
                          : now - r.lastSeen > 3600                 ? " class=\"quiet\""
                                                                    : "";
        page += std::string("<tr") + cls + "><td>" + Html(r.address.AddressText()) + "</td><td class=\"n\">" +
                Number(r.events) + "</td><td>" + Utc(r.lastSeen) + " <span class=\"muted\">" + Ago(r.lastSeen, now) +
                "</span></td><td>" + Html(OutcomeText(r.lastResult, r.lastStatus)) + "</td><td class=\"n\">" +
                Number(r.failures) + "</td></tr>\n";
    }
    page += "</tbody></table>\n<p class=\"muted\">Figures for machines: <a href=\"/metrics\">/metrics</a>; "
            "for load balancers: <a href=\"/health\">/health</a>. Page made " + Utc(now) + ".</p>\n</body></html>\n";
    return page;
}

std::string HttpAnswer(unsigned status, const char* contentType, const std::string& body, bool headOnly) {
    std::string answer = "HTTP/1.1 " + Number(status) + " " + (status == 200 ? "OK" : StatusText(status)) +
                         "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + Number(body.size()) +
                         "\r\nCache-Control: no-store\r\n";
    if (status == 503) answer += "Retry-After: " + Number(kRetryAfterSeconds) + "\r\n";
    answer += "Connection: close\r\n\r\n";
    if (!headOnly) answer += body;
    return answer;
}
