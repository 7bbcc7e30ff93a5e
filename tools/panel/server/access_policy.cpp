#include "server/access_policy.h"

#include <algorithm>
#include <random>

namespace vexdaq_panel {

namespace {

// Constant time: how long a comparison takes says nothing about the token.
bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

std::string find_parameter(std::string_view text, std::string_view name, char separator) {
  while (!text.empty()) {
    const size_t end = std::min(text.find(separator), text.size());
    const std::string_view part = trim(text.substr(0, end));
    const size_t equals = part.find('=');
    if (equals != std::string_view::npos && part.substr(0, equals) == name)
      return std::string(part.substr(equals + 1));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return {};
}

Access AccessPolicy::check(const char *host, const char *origin, const char *query,
                           const char *cookie, bool changes_state) const {
  if (host == nullptr) return Access::kBadHost;
  const bool any_host = hosts.empty();
  if (!any_host && std::find(hosts.begin(), hosts.end(), host) == hosts.end())
    return Access::kBadHost;
  if (changes_state && origin != nullptr) {
    const std::string_view o(origin);
    // The page's own origin is the host it was loaded from.
    const bool own = o.starts_with("http://") && o.substr(7) == host;
    if (!own) return Access::kBadOrigin;
  }
  if (!token.empty()) {
    const std::string from_query = query ? find_parameter(query, "token", '&') : "";
    const std::string from_cookie = cookie ? find_parameter(cookie, kTokenCookie, ';') : "";
    if (!same_secret(from_query, token) && !same_secret(from_cookie, token))
      return Access::kBadToken;
  }
  return Access::kAllowed;
}

bool is_loopback_address(const std::string &address) {
  return address == "::1" || address.starts_with("127.");
}

std::vector<std::string> panel_hosts(const std::string &address, int port) {
  if (address == "0.0.0.0" || address == "::") return {};
  // Appended piece by piece: GCC 12 at -O3 takes "literal" + std::string for an overlapping
  // copy (-Wrestrict).
  std::string p(1, ':');
  p.append(std::to_string(port));
  const bool v6 = address.find(':') != std::string::npos;
  std::string host;
  if (v6)
    host.append(1, '[').append(address).append(1, ']');
  else
    host.append(address);
  std::vector<std::string> hosts{host.append(p)};
  if (is_loopback_address(address)) hosts.push_back(std::string("localhost").append(p));
  return hosts;
}

std::string random_token() {
  std::random_device source;  // the system's random source (getrandom on Linux)
  static const char digits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 4; ++i) {
    const uint32_t word = source();
    for (int k = 0; k < 8; ++k) token += digits[(word >> (4 * k)) & 0xF];
  }
  return token;
}

}  // namespace vexdaq_panel
