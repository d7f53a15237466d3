#include "clientaddress.h"

#include <arpa/inet.h>

#include <cstdio>

std::string addressGroup(const std::string &address)
{
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return address;
    const unsigned char *b = v6.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        char text[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, b + 12, text, sizeof text) ? std::string(text) : address;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", b[0], b[1], b[2], b[3], b[4], b[5],
                  b[6], b[7]);
    return text;
}
