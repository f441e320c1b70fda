// Who may come in: the Host and Origin rules for requests, the client's
// address behind a trusted proxy, and the caps on open connections in total
// and per client address. Plain code, tested without a network.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chat_web {

// Whether a WebSocket handshake with this Origin, sent to this Host, may
// go ahead: no Origin (not a browser), the same host and port, or one of
// `allowed` (full origins such as "https://chat.example.org").
bool origin_allowed(std::optional<std::string_view> origin, std::string_view host,
                    const std::vector<std::string> &allowed);

// The names a request's Host may carry besides IP literals and
// "localhost": so a name that somebody else points at the gateway's
// address (DNS rebinding) gets nothing, not the page and not a session.
class HostRule {
public:
    enum class Verdict { allowed, malformed, foreign };

    // A name as given (any case, an optional trailing dot).
    void allow(std::string_view name);
    // The host of an origin such as "https://chat.example.org:8443".
    void allow_origin(std::string_view origin);
    // `host` is the Host header's value: a name or an IP literal (IPv6 in
    // brackets), with an optional port.
    Verdict check(std::string_view host) const;

private:
    std::vector<std::string> names_;
};

// The machine's own name from gethostname(), and with its domain when the
// resolver knows one.
std::vector<std::string> own_host_names();

// An IP address in one canonical text (an IPv4-mapped IPv6 address as
// IPv4), or nullopt when `text` is none.
std::optional<std::string> canonical_address(std::string_view text);

// The client's address that a proxy put last into X-Forwarded-For
// (`values` holds every such header, joined with commas); nullopt when
// there is none. Entries further left came from the client and prove
// nothing.
std::optional<std::string> forwarded_client(std::string_view values);

// How many connections may be open at once with `descriptors` of them:
// room for the gateway's own and for each connection's chat server socket
// and history read.
size_t connections_for_descriptors(unsigned long long descriptors);

class ConnectionCounts;

// One open connection's place in the counts, given back when it is
// destroyed or released.
class Place {
public:
    Place() = default;
    ~Place() { release(); }
    Place(Place &&other) noexcept;
    Place &operator=(Place &&other) noexcept;
    Place(const Place &) = delete;
    Place &operator=(const Place &) = delete;

    // Counts this connection under `address` instead of where it was;
    // false (and nothing changed) when that address holds its share.
    bool claim(const std::string &address);
    void release();
    const std::string &address() const { return address_; }

private:
    friend class ConnectionCounts;
    ConnectionCounts *counts_ = nullptr;
    std::string address_;  // empty: not counted under any address yet
};

// Open connections of every kind, in total and per client address.
class ConnectionCounts {
public:
    ConnectionCounts(size_t total_max, size_t per_address_max)
        : total_max_(total_max), per_address_max_(per_address_max) {}

    bool full() const { return total_ >= total_max_; }
    // A place for a new connection from `address` (empty for a trusted
    // proxy's, which waits for its request to name the client); nullopt
    // when all are taken or the address holds its share.
    std::optional<Place> admit(const std::string &address);
    size_t total() const { return total_; }
    size_t at(const std::string &address) const;

private:
    friend class Place;
    bool take(const std::string &address);
    void give(const std::string &address);

    size_t total_max_, per_address_max_;
    size_t total_ = 0;
    std::map<std::string, size_t, std::less<>> per_address_;
};

}  // namespace chat_web
