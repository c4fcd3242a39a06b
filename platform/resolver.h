// Name resolution on getaddrinfo/getnameinfo, in the library's terms:
// socket addresses in the Winsock layout and failures as Winsock numbers
// (11001 host not found, 11002, 11003, 11004, ...).
#pragma once
#include <string>
#include <vector>

namespace platform {

struct resolved_address {
    unsigned char designed[28]; // Winsock layout, family 2 or 23
    int size;                   // 16 or 28
};

struct name_lookup {
    std::string canonical_name; // of the first record that carries one
    std::vector<resolved_address> addresses; // IPv4 and IPv6, the resolver's order
};

// Forward lookup of a UTF-8 name, asking for the canonical name. 0 or a
// Winsock error. Names under the special-use domain "invalid" (RFC 6761)
// and names holding a NUL fail at once with 11001, without a query.
int resolve_name(const std::string& name, name_lookup& out);
// Reverse lookup of an address in the Winsock layout; a name is required
// (the numeric form is not accepted). 0 or a Winsock error.
int resolve_address(const unsigned char* designed, int size, std::string& name);
// The local host's name; 0 or a Winsock error.
int local_host_name(std::string& name);

} // namespace platform
