// Whom a request to the front end names in its Host header. A page served under another DNS name
// that resolves to the instrument (DNS rebinding) sends its own name there, and its Origin
// matches it: requests that drive or read the instrument must name the instrument itself.
#pragma once

#include <string>
#include <vector>

namespace hostcheck {

// The stored list of further names (one per line) a lab reaches the instrument under.
constexpr const char* ALLOWED_HOSTS_FILE = "/userconfig/network/http_hosts";
constexpr size_t MAX_ALLOWED_HOSTS = 16;

// True when `host` ("name" or "name:port", an IPv6 address in brackets) names the instrument:
// "localhost", a loopback address, one of its own addresses, its hostname (bare, with ".local"
// or with its domain), or a name of the stored list. A request without a Host header (an old
// script; browsers always send one) is taken too.
bool names_instrument(const char* host);

// The stored list; empty when there is none.
std::vector<std::string> allowed_hosts();
// Replaces the stored list: each entry a host name, at most MAX_ALLOWED_HOSTS of them. Returns
// 0, or -1 (nothing changed) for a bad list or a file error.
int set_allowed_hosts(const std::vector<std::string>& names);

}  // namespace hostcheck
