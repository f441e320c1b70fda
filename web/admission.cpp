// Who may come in: the Host and Origin rules, the client's address behind
// a trusted proxy, and the counts of open connections.
#include "admission.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

#include "wire/compose.hpp"
#include "wire/control.hpp"

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

std::optional<AddressRange> AddressRange::parse(std::string_view text)
{
    size_t slash = text.find('/');
    auto address = canonical_address(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    AddressRange r;
    r.v6_ = !is_ipv4(*address);
    int width = r.v6_ ? 128 : 32;
    r.bits_ = width;
    if (slash != std::string_view::npos) {
        std::string_view bits = text.substr(slash + 1);
        if (!all_digits(bits, 3))
            return std::nullopt;
        r.bits_ = std::stoi(std::string(bits));
        // "::ffff:10.0.0.0/104" is 10.0.0.0/8.
        if (!r.v6_ && text.substr(0, slash).find(':') != std::string_view::npos)
            r.bits_ = r.bits_ >= 96 ? r.bits_ - 96 : -1;
        if (r.bits_ < 0 || r.bits_ > width)
            return std::nullopt;
    }
    inet_pton(r.v6_ ? AF_INET6 : AF_INET, address->c_str(), r.bytes_);
    return r;
}

namespace {

// The leading `bits` of two addresses of `size` bytes compared.
bool same_prefix(const unsigned char *a, const unsigned char *b, int bits)
{
    int whole = bits / 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0)
        return false;
    int rest = bits % 8;
    if (rest == 0)
        return true;
    unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return ((a[whole] ^ b[whole]) & mask) == 0;
}

}  // namespace

bool AddressRange::contains(std::string_view address) const
{
    auto canonical = canonical_address(address);
    if (!canonical || is_ipv4(*canonical) == v6_)
        return false;
    unsigned char bytes[16] {};
    inet_pton(v6_ ? AF_INET6 : AF_INET, canonical->c_str(), bytes);
    return same_prefix(bytes, bytes_, bits_);
}

std::string client_key(const std::string &canonical, int ipv6_prefix)
{
    in6_addr v6;
    if (inet_pton(AF_INET6, canonical.c_str(), &v6) != 1 || ipv6_prefix >= 128)
        return canonical;
    int bits = std::max(ipv6_prefix, 0);
    for (int i = 0; i < 16; ++i) {
        int keep = std::clamp(bits - 8 * i, 0, 8);
        v6.s6_addr[i] &= static_cast<unsigned char>((0xffu << (8 - keep)) & 0xffu);
    }
    char out[INET6_ADDRSTRLEN];
    return std::string(inet_ntop(AF_INET6, &v6, out, sizeof out)) + "/" + std::to_string(bits);
}

namespace {

// One X-Forwarded-For entry: an address, "v4:port" or "[v6]:port".
std::optional<std::string> forwarded_entry(std::string_view entry)
{
    if (entry.starts_with('[')) {
        size_t close = entry.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        std::string_view after = entry.substr(close + 1);
        if (!after.empty() && !(after.front() == ':' && all_digits(after.substr(1), 5)))
            return std::nullopt;
        return canonical_address(entry.substr(1, close - 1));
    }
    size_t colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
        if (!all_digits(entry.substr(colon + 1), 5))
            return std::nullopt;
        auto address = canonical_address(entry.substr(0, colon));
        return address && is_ipv4(*address) ? address : std::nullopt;
    }
    return canonical_address(entry);
}

}  // namespace

Forwarded forwarded_client(std::string_view values)
{
    Forwarded f;
    size_t comma = values.rfind(',');
    std::string_view last = trim(comma == std::string_view::npos ? values : values.substr(comma + 1));
    f.present = !trim(values).empty();
    if (!f.present)
        return f;
    f.entry = std::string(last);
    f.address = forwarded_entry(last);
    return f;
}

namespace {

// White space in Unicode's sense, which a name must not hold.
bool is_space(char32_t c)
{
    return c == ' ' || c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 ||
           c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

}  // namespace

HeaderName header_name(const std::vector<std::string_view> &lines, const chat::Codec &codec)
{
    HeaderName n;
    std::string_view value = lines.empty() ? "" : trim(lines.front());
    if (lines.size() > 1 || value.find(',') != std::string_view::npos) {
        n.problem = HeaderNameProblem::repeated;
        return n;
    }
    if (value.empty()) {
        n.problem = HeaderNameProblem::missing;
        return n;
    }
    bool unfit = false;
    for (size_t at = 0; at < value.size();) {
        size_t length = 0;
        auto c = chat::utf8_code_point(value, at, length);
        if (!c) {
            n.problem = HeaderNameProblem::not_utf8;
            return n;
        }
        at += length;
        unfit = unfit || is_space(*c) || chat::is_control(*c) || chat::is_reordering(*c);
    }
    size_t replaced = 0;
    n.utf8 = std::string(value);
    n.sjis = codec.to_wire(value, &replaced);
    if (!unfit && replaced == 0 && chat::reserved_name(n.sjis))
        n.problem = HeaderNameProblem::reserved;
    else if (unfit || replaced > 0 || !chat::valid_name(n.sjis))
        n.problem = HeaderNameProblem::unfit;
    return n;
}

bool transfer_coding_ends_in_chunked(std::string_view values)
{
    size_t comma = values.rfind(',');
    std::string_view last = comma == std::string_view::npos ? values : values.substr(comma + 1);
    return lower(trim(last.substr(0, last.find(';')))) == "chunked";
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
