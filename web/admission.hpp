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

#include "wire/codec.hpp"

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

// A range of addresses such as 10.0.0.0/8 or fd00::/8; a plain address is
// a range of one. An IPv4-mapped IPv6 range is taken as IPv4.
class AddressRange {
public:
    static std::optional<AddressRange> parse(std::string_view text);
    // Whether `address` (any text canonical_address takes) lies in it.
    bool contains(std::string_view address) const;

private:
    bool v6_ = false;
    unsigned char bytes_[16] {};
    int bits_ = 0;
};

// The key under which a client's connections and detached sessions are
// counted: an IPv4 address as it is; an IPv6 one by its first
// `ipv6_prefix` bits, as "2001:db8:1:2::/64", because one household or
// phone gets a whole /64 and may use any address in it.
std::string client_key(const std::string &canonical, int ipv6_prefix);

// What a proxy put last into X-Forwarded-For (`values` holds every such
// header, joined with commas). Entries further left came from the client
// and prove nothing. An entry may carry a port: "192.0.2.7:4711",
// "[2001:db8::7]:4711".
struct Forwarded {
    bool present = false;                // there is an entry at all
    std::optional<std::string> address;  // the last entry, canonical; nullopt when it is no address
    std::string entry;                   // the last entry as written
};
Forwarded forwarded_client(std::string_view values);

// Why a name from the proxy's header cannot be taken.
enum class HeaderNameProblem { none, missing, repeated, not_utf8, unfit, reserved };

// The name in a proxy's header (each field line of it in `lines`), in
// Shift_JIS as the server takes it, or the problem with it. The name is
// taken whole or not at all: one field line, not empty, no comma (a
// joined repeat), valid UTF-8 without white space or control characters,
// each character with a Shift_JIS form, at most 30 bytes, and not the
// server's sender word.
struct HeaderName {
    HeaderNameProblem problem = HeaderNameProblem::none;
    std::string sjis;
    std::string utf8;
};
HeaderName header_name(const std::vector<std::string_view> &lines, const chat::Codec &codec);

// Whether a request with these Transfer-Encoding values (every such
// header, joined with commas) has a body whose end can be found: only
// when the last coding is chunked (RFC 9112 6.3). Otherwise two parsers
// could disagree where the next request begins.
bool transfer_coding_ends_in_chunked(std::string_view values);

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
