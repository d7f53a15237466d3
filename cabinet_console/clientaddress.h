#pragma once

#include <string>

// The group a client address belongs to for the console's limits: an IPv4
// address stands alone, an IPv6 address counts with its whole /64 (one
// network, which a single host may fill with addresses at will), an
// IPv4-mapped IPv6 address as the IPv4 address it maps. Text that is not an
// address is its own group.
std::string addressGroup(const std::string &address);
