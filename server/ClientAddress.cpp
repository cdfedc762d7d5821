#include "server/ClientAddress.h"

#include "server/Text.h"

#include <httplib.h>

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>

ClientAddress::ClientAddress(const std::vector<std::string>& trustedProxies)
{
    for (const std::string& proxy : trustedProxies) {
        const auto address = canonical(proxy);
        if (!address)
            throw std::invalid_argument("not an IP address: " + proxy);
        m_trusted.push_back(*address);
    }
}

std::optional<std::string> ClientAddress::canonical(std::string_view text)
{
    const std::string address(text::trim(text));
    unsigned char bytes[sizeof(in6_addr)];
    char written[INET6_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET, address.c_str(), bytes) == 1 && ::inet_ntop(AF_INET, bytes, written, sizeof written))
        return std::string(written);
    if (::inet_pton(AF_INET6, address.c_str(), bytes) != 1)
        return std::nullopt;
    // A socket listening on "::" sees an IPv4 peer as ::ffff:a.b.c.d: the same proxy.
    const auto* v6 = reinterpret_cast<const in6_addr*>(bytes);
    const bool mapped = IN6_IS_ADDR_V4MAPPED(v6);
    if (mapped ? !::inet_ntop(AF_INET, bytes + 12, written, sizeof written) : !::inet_ntop(AF_INET6, bytes, written, sizeof written))
        return std::nullopt;
    return std::string(written);
}

std::string ClientAddress::of(const httplib::Request& request, const std::string& peer) const
{
    if (m_trusted.empty())
        return peer;
    const auto from = canonical(peer);
    if (!from || std::find(m_trusted.begin(), m_trusted.end(), *from) == m_trusted.end())
        return peer;
    const size_t headers = request.get_header_value_count("X-Forwarded-For");
    if (headers == 0)
        return peer;
    // The proxy appends to the last header (or adds one after the client's own).
    const std::string last = request.get_header_value("X-Forwarded-For", headers - 1);
    const size_t comma = last.rfind(',');
    const auto forwarded = canonical(comma == std::string::npos ? last : last.substr(comma + 1));
    return forwarded ? *forwarded : peer;
}
