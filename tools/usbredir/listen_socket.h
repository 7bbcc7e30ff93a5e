// Listening stream sockets for vexdaq-usbredir: a unix socket path, or a TCP port on loopback.
#pragma once

#include <cstdint>
#include <string>

namespace vexdaq::usbredir {

// "unix:PATH" or "tcp:PORT" (also a bare path, or a bare port number). False with the reason.
struct Endpoint {
  std::string unix_path;  // empty: TCP
  uint16_t port = 0;
  std::string describe() const;
};
bool parse_endpoint(const std::string &text, Endpoint &out, std::string &error);

// A listening, close-on-exec socket; -1 with the reason. A stale unix socket file is replaced.
int listen_on(const Endpoint &endpoint, std::string &error);
// Accepts one connection, made non-blocking; -1 when none is waiting.
int accept_connection(int listener, bool tcp);

}  // namespace vexdaq::usbredir
