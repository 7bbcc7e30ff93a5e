#include "usbredir/listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vexdaq::usbredir {

std::string Endpoint::describe() const {
  return unix_path.empty() ? "127.0.0.1:" + std::to_string(port) : unix_path;
}

bool parse_endpoint(const std::string &text, Endpoint &out, std::string &error) {
  std::string rest = text;
  bool tcp = false;
  if (rest.rfind("unix:", 0) == 0) {
    rest = rest.substr(5);
  } else if (rest.rfind("tcp:", 0) == 0) {
    rest = rest.substr(4);
    tcp = true;
  } else {
    tcp = !rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos;
  }
  if (tcp) {
    char *end = nullptr;
    errno = 0;
    unsigned long port = std::strtoul(rest.c_str(), &end, 10);
    if (rest.empty() || *end != '\0' || errno != 0 || port == 0 || port > 65535) {
      error = "bad TCP port \"" + rest + "\" (1 .. 65535)";
      return false;
    }
    out = Endpoint{"", static_cast<uint16_t>(port)};
    return true;
  }
  sockaddr_un probe{};
  if (rest.empty() || rest.size() >= sizeof probe.sun_path) {
    error = "unix socket path must have 1 .. " + std::to_string(sizeof probe.sun_path - 1) +
            " bytes: \"" + rest + "\"";
    return false;
  }
  out = Endpoint{rest, 0};
  return true;
}

int listen_on(const Endpoint &endpoint, std::string &error) {
  const bool tcp = endpoint.unix_path.empty();
  int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int r;
  if (tcp) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(endpoint.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never beyond this machine
    r = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, endpoint.unix_path.c_str(), endpoint.unix_path.size());
    struct stat st {};
    // Only a socket left behind is removed; any other file stays and the bind fails.
    if (lstat(endpoint.unix_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      unlink(endpoint.unix_path.c_str());
    }
    r = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  if (r != 0 || listen(fd, 4) != 0) {
    error = "cannot listen on " + endpoint.describe() + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int accept_connection(int listener, bool tcp) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -1;
  if (tcp) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

}  // namespace vexdaq::usbredir
