// Who may come in: the Host and Origin rules, the client's address behind
// a trusted proxy, and the counts of open connections.
#include "admission.hpp"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace chat_web {

namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    for (auto &c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// "host:port" split; the port is empty when not given. An IPv6 address
// keeps its brackets.
std::pair<std::string, std::string> split_authority(std::string_view authority)
{
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    if (colon == std::string_view::npos || (bracket != std::string_view::npos && colon < bracket))
        return {std::string(authority), ""};
    return {std::string(authority.substr(0, colon)), std::string(authority.substr(colon + 1))};
}

bool all_digits(std::string_view s, size_t max)
{
    return !s.empty() && s.size() <= max && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_ipv4(const std::string &s)
{
    in_addr a;
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool is_ipv6(const std::string &s)
{
    in6_addr a;
    return inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

// A host name as compared: lower case, without the final dot.
std::string plain_name(std::string_view name)
{
    std::string n = lower(name);
    if (!n.empty() && n.back() == '.')
        n.pop_back();
    return n;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

bool origin_allowed(std::optional<std::string_view> origin, std::string_view host,
                    const std::vector<std::string> &allowed)
{
    if (!origin)
        return true;
    std::string o = lower(*origin);
    while (!o.empty() && o.back() == '/')
        o.pop_back();
    for (const auto &a : allowed) {
        std::string x = lower(a);
        while (!x.empty() && x.back() == '/')
            x.pop_back();
        if (o == x)
            return true;
    }
    std::string scheme;
    if (o.starts_with("http://"))
        scheme = "http";
    else if (o.starts_with("https://"))
        scheme = "https";
    else
        return false;  // "null", file: and the like
    std::string default_port = scheme == "http" ? "80" : "443";
    auto [o_host, o_port] = split_authority(std::string_view(o).substr(scheme.size() + 3));
    auto [h_host, h_port] = split_authority(lower(host));
    if (o_port.empty())
        o_port = default_port;
    if (h_port.empty())
        h_port = default_port;
    return !o_host.empty() && o_host == h_host && o_port == h_port;
}

void HostRule::allow(std::string_view name)
{
    std::string n = plain_name(name);
    if (!n.empty())
        names_.push_back(n);
}

void HostRule::allow_origin(std::string_view origin)
{
    size_t scheme_end = origin.find("://");
    if (scheme_end == std::string_view::npos)
        return;
    std::string_view rest = origin.substr(scheme_end + 3);
    rest = rest.substr(0, rest.find('/'));
    allow(split_authority(rest).first);
}

HostRule::Verdict HostRule::check(std::string_view host) const
{
    auto [name, port] = split_authority(host);
    if (!port.empty() || (!host.empty() && host.back() == ':'))
        if (!all_digits(port, 5))
            return Verdict::malformed;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        return is_ipv6(name.substr(1, name.size() - 2)) ? Verdict::allowed : Verdict::malformed;
    bool name_chars = !name.empty() && name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
                                           std::string::npos;
    if (!name_chars)
        return Verdict::malformed;
    std::string n = plain_name(name);
    if (is_ipv4(n) || n == "localhost")
        return Verdict::allowed;
    for (const auto &allowed : names_)
        if (n == allowed)
            return Verdict::allowed;
    return Verdict::foreign;
}

std::vector<std::string> own_host_names()
{
    std::vector<std::string> names;
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0')
        return names;
    names.emplace_back(buffer);
    addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(buffer, nullptr, &hints, &found) == 0) {
        if (found && found->ai_canonname && std::string_view(found->ai_canonname).find('.') != std::string_view::npos)
            names.emplace_back(found->ai_canonname);
        freeaddrinfo(found);
    }
    return names;
}

std::optional<std::string> canonical_address(std::string_view text)
{
    std::string s(text);
    char out[INET6_ADDRSTRLEN];
    in_addr v4;
    if (inet_pton(AF_INET, s.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    in6_addr v6;
    if (inet_pton(AF_INET6, s.c_str(), &v6) != 1)
        return std::nullopt;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        memcpy(&v4, v6.s6_addr + 12, 4);
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    }
    return inet_ntop(AF_INET6, &v6, out, sizeof out);
}

std::optional<std::string> forwarded_client(std::string_view values)
{
    size_t comma = values.rfind(',');
    std::string_view last = trim(comma == std::string_view::npos ? values : values.substr(comma + 1));
    return canonical_address(last);
}

size_t connections_for_descriptors(unsigned long long descriptors)
{
    constexpr unsigned long long own = 32;  // standard streams, epoll, signals, the listener
    constexpr unsigned long long per_connection = 3;
    if (descriptors <= own + per_connection)
        return 1;
    return static_cast<size_t>((descriptors - own) / per_connection);
}

Place::Place(Place &&other) noexcept : counts_(other.counts_), address_(std::move(other.address_))
{
    other.counts_ = nullptr;
}

Place &Place::operator=(Place &&other) noexcept
{
    if (this != &other) {
        release();
        counts_ = other.counts_;
        address_ = std::move(other.address_);
        other.counts_ = nullptr;
    }
    return *this;
}

bool Place::claim(const std::string &address)
{
    if (!counts_ || address == address_)
        return counts_ != nullptr;
    if (!counts_->take(address))
        return false;
    counts_->give(address_);
    address_ = address;
    return true;
}

void Place::release()
{
    if (!counts_)
        return;
    counts_->give(address_);
    --counts_->total_;
    counts_ = nullptr;
}

std::optional<Place> ConnectionCounts::admit(const std::string &address)
{
    if (full() || !take(address))
        return std::nullopt;
    ++total_;
    Place place;
    place.counts_ = this;
    place.address_ = address;
    return place;
}

size_t ConnectionCounts::at(const std::string &address) const
{
    auto it = per_address_.find(address);
    return it == per_address_.end() ? 0 : it->second;
}

bool ConnectionCounts::take(const std::string &address)
{
    if (address.empty())
        return true;
    size_t &n = per_address_[address];
    if (n >= per_address_max_) {
        if (n == 0)
            per_address_.erase(address);
        return false;
    }
    ++n;
    return true;
}

void ConnectionCounts::give(const std::string &address)
{
    if (address.empty())
        return;
    auto it = per_address_.find(address);
    if (it != per_address_.end() && --it->second == 0)
        per_address_.erase(it);
}

}  // namespace chat_web
