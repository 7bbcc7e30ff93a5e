// Who may talk to the panel. A web page the user visits elsewhere must not drive the instrument
// through the panel's port, so:
//  - the Host header must name the panel itself (a DNS name rebound to 127.0.0.1 does not);
//  - a WebSocket handshake or a state-changing request that carries an Origin must carry the
//    panel's own (browsers always send one there; programs that send none are not browsers);
//  - when the panel listens beyond loopback, every request must also carry the random token, in
//    the URL (?token=...) or in the cookie the panel sets when the page is opened with it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexdaq_panel {

enum class Access { kAllowed, kBadHost, kBadOrigin, kBadToken };

struct AccessPolicy {
  // Accepted Host values, "127.0.0.1:8080" ...; empty (a wildcard address): any host, which
  // is why a panel beyond loopback always needs the token.
  std::vector<std::string> hosts;
  std::string token;  // empty: no token needed

  // host, origin, query and cookie may be null when the request has none.
  Access check(const char *host, const char *origin, const char *query, const char *cookie,
               bool changes_state) const;
};

// The hosts a panel bound to `address` (an IPv4 or IPv6 literal) at `port` answers to; loopback
// adds "localhost"; a wildcard address ("0.0.0.0", "::") gives none (any).
std::vector<std::string> panel_hosts(const std::string &address, int port);

bool is_loopback_address(const std::string &address);

// 32 hex digits from the system's random source.
std::string random_token();

// The value of `name` in a query string ("a=1&token=xyz") or cookie header ("a=1; b=2"); empty
// when absent.
std::string find_parameter(std::string_view text, std::string_view name, char separator);

constexpr const char *kTokenCookie = "vexdaq_panel_token";

}  // namespace vexdaq_panel
