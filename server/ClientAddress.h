#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace httplib {
struct Request;
}

// Who sent a request. Behind a load balancer every connection comes from the balancer, so limits
// per address would count all clients as one: ten wrong passwords anywhere would lock everyone
// out. For a connection from a proxy the operator named, the client is the address that proxy
// appended last to X-Forwarded-For; whatever comes before it, the client may have written itself.
class ClientAddress {
public:
    // Addresses as the operator wrote them; throws std::invalid_argument for one that is not an
    // IPv4 or IPv6 address.
    explicit ClientAddress(const std::vector<std::string>& trustedProxies);

    // The client's address for a request whose connection came from `peer`.
    std::string of(const httplib::Request& request, const std::string& peer) const;

    // The address in its one written form, or nothing when `text` is not an address.
    static std::optional<std::string> canonical(std::string_view text);

private:
    std::vector<std::string> m_trusted; // canonical
};
