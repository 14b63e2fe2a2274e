#include "server/connection.h"

#include <algorithm>

#include "platform/system.h"
#include "server/request.h"

namespace karvo::server {
namespace {

// Input the client sent beyond the one read (an oversized request, or the
// rest of one that arrived in pieces) is read and dropped before closing:
// closing a socket with unread input resets the connection, and a reset can
// make the client's OS throw away the response it has not read yet. Only what
// has already arrived is taken, so this never waits.
void discard_unread_input(platform::Socket& connection) {
    constexpr std::size_t kBudget = 64 * 1024;
    char sink[4096];
    std::size_t left = kBudget;
    while (left > 0) {
        const std::size_t pending = connection.pending_bytes();
        if (pending == 0) break;
        const auto received = connection.receive(sink, std::min({pending, sizeof sink, left}));
        if (!received.ok() || *received == 0) break;
        left -= *received;
    }
}

}  // namespace

void handle_connection(platform::Socket& connection, const std::optional<std::string>& token,
                       const DiscoverFn& discover) {
    char buffer[kRequestLimit];
    const auto received = connection.receive(buffer, sizeof buffer);
    if (!received.ok() || *received == 0) return;

    const RequestDecision decision = decide(std::string_view(buffer, *received), token);
    const std::string response =
        format_response(decision.verdict == Verdict::serve ? routed_response(route_of(decision.path), discover())
                                                           : refusal_response(decision.verdict));
    (void)connection.send_all(response);
    discard_unread_input(connection);
}

void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going) {
    while (keep_going()) {
        auto accepted = listener.accept();
        if (!accepted.ok()) {
            // Dropped silently; the short pause keeps a lasting failure (such
            // as running out of descriptors) from spinning a core.
            platform::sleep_milliseconds(10);
            continue;
        }
        platform::Socket connection = std::move(accepted).value();
        (void)connection.set_receive_timeout(kConnectionTimeoutMs);
        // A client that stops reading must not hold the server forever either.
        (void)connection.set_send_timeout(kConnectionTimeoutMs);
        handle_connection(connection, token, discover);
        connection.close();
    }
}

}  // namespace karvo::server
