// vexdaq-usbredir: one virtual instrument served as a USB device over the usbredir protocol, for
// QEMU's usb-redir device (or any usbredir peer) to attach to a virtual machine, whose own USB
// stack and drivers then drive it. A control socket takes text commands (control_commands.h):
// faults, settings, traces, counters, unplug and plug.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/profile.h"
#include "sim/registry.h"
#include "usbredir/control_commands.h"
#include "usbredir/listen_socket.h"
#include "usbredir/redir_device.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

using namespace vexdaq::usbredir;

struct ControlClient {
  int fd = -1;
  std::string in;   // a partial command line
  std::string out;  // answers not yet written
};

bool write_some(ControlClient &c) {
  while (!c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.out.erase(0, static_cast<size_t>(n));
  }
  return true;
}

// Reads what the client sent and answers every complete line; false once it has gone.
bool serve_control(ControlClient &c, RedirDevice &device) {
  char buffer[4096];
  ssize_t n = read(c.fd, buffer, sizeof buffer);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  c.in.append(buffer, static_cast<size_t>(n));
  size_t end;
  while ((end = c.in.find('\n')) != std::string::npos) {
    std::string line = c.in.substr(0, end);
    c.in.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a terminal's line end
    if (line.empty()) continue;
    c.out += run_command(device, line);
  }
  if (c.in.size() > kMaxCommandBytes) {
    c.out += "err command longer than " + std::to_string(kMaxCommandBytes) + " bytes\n";
    write_some(c);
    return false;
  }
  return write_some(c);
}

void close_client(ControlClient &c) {
  if (c.fd >= 0) close(c.fd);
  c = ControlClient{};
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "Serves a virtual vexdaq instrument as a USB device over usbredir (QEMU: -device "
      "usb-redir with a socket chardev).",
      "vexdaq-usbredir"};
  std::string listen_text, control_text, profile;
  std::vector<std::string> faults;
  bool unplugged = false, once = false;
  int verbose = 0;
  app.add_option("-l,--listen", listen_text,
                 "where QEMU connects: unix:PATH or tcp:PORT (loopback only)")
      ->required();
  app.add_option("-c,--control", control_text,
                 "control socket for commands: unix:PATH or tcp:PORT");
  app.add_option("-p,--profile", profile, "the instrument's profile, \"key=value;...\"");
  app.add_option("-f,--fault", faults, "a fault to inject before serving (repeatable)");
  app.add_flag("--unplugged", unplugged, "start with the device unplugged (the \"plug\" command)");
  app.add_flag("--once", once, "exit when the first peer goes away");
  app.add_flag("-v,--verbose", verbose, "log usbredir traffic (twice: every packet)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  Endpoint redir_at, control_at;
  std::string error;
  if (!parse_endpoint(listen_text, redir_at, error) ||
      (!control_text.empty() && !parse_endpoint(control_text, control_at, error))) {
    std::fprintf(stderr, "vexdaq-usbredir: %s\n", error.c_str());
    return 2;
  }
  vexdaq::sim::Profile parsed;
  if (!vexdaq::sim::apply_profile_text(profile.c_str(), parsed, error)) {
    std::fprintf(stderr, "vexdaq-usbredir: bad profile: %s\n", error.c_str());
    return 2;
  }
  const int32_t id = vexdaq_sim_plug(profile.c_str());
  if (id < 0) return 2;
  for (const std::string &f : faults) {
    if (vexdaq_sim_fault(id, f.c_str()) != 0) {
      std::fprintf(stderr, "vexdaq-usbredir: bad fault \"%s\"\n", f.c_str());
      return 2;
    }
  }

  // Ctrl-C and SIGTERM end the loop in order: pending transfers cancelled, sockets removed.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);

  int redir_listener = listen_on(redir_at, error);
  int control_listener = -1;
  if (redir_listener >= 0 && !control_text.empty()) control_listener = listen_on(control_at, error);
  if (redir_listener < 0 || (!control_text.empty() && control_listener < 0)) {
    std::fprintf(stderr, "vexdaq-usbredir: %s\n", error.c_str());
    return 1;
  }
  int rc = 0;
  {
    RedirDevice device(id, vexdaq::sim::find(id), parsed, !unplugged, verbose);
    ControlClient client;
    std::fprintf(stderr, "vexdaq-usbredir: serving on %s%s%s\n", redir_at.describe().c_str(),
                 control_text.empty() ? "" : ", commands on ",
                 control_text.empty() ? "" : control_at.describe().c_str());
    std::printf("READY\n");  // for scripts that start a VM once the socket is there
    std::fflush(stdout);
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({signal_fd, POLLIN, 0});
      fds.push_back({device.wake_fd(), POLLIN, 0});
      // One peer at a time: the listener waits while one is attached.
      fds.push_back({device.attached() ? device.fd() : redir_listener,
                     static_cast<short>(POLLIN | (device.wants_write() ? POLLOUT : 0)), 0});
      if (control_listener >= 0) {
        fds.push_back({client.fd >= 0 ? client.fd : control_listener,
                       static_cast<short>(POLLIN | (!client.out.empty() ? POLLOUT : 0)), 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        rc = 1;
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) device.on_completions();
      if (fds[2].revents != 0) {
        if (!device.attached()) {
          int fd = accept_connection(redir_listener, redir_at.unix_path.empty());
          if (fd >= 0) {
            device.attach(fd);
            if (verbose > 0) std::fprintf(stderr, "vexdaq-usbredir: peer attached\n");
          }
        } else if (((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                    !device.on_readable()) ||
                   !device.flush()) {
          device.detach();
          std::fprintf(stderr, "vexdaq-usbredir: peer gone\n");
          if (once) break;
        }
      }
      if (fds.size() > 3 && fds[3].revents != 0) {
        if (client.fd < 0) {
          client.fd = accept_connection(control_listener, control_at.unix_path.empty());
        } else if (((fds[3].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                    !serve_control(client, device)) ||
                   !write_some(client)) {
          close_client(client);
        }
      }
      if (device.attached() && !device.flush()) {
        device.detach();
        if (once) break;
      }
    }
    close_client(client);
    device.detach();
    RedirDevice::Stats s = device.stats();
    std::fprintf(
        stderr,
        "vexdaq-usbredir: %llu control packets; bulk out %llu packets, %llu bytes; bulk in "
        "%llu packets, %llu bytes; %llu cancelled\n",
        static_cast<unsigned long long>(s.control_packets),
        static_cast<unsigned long long>(s.bulk_out_packets),
        static_cast<unsigned long long>(s.bulk_out_bytes),
        static_cast<unsigned long long>(s.bulk_in_packets),
        static_cast<unsigned long long>(s.bulk_in_bytes),
        static_cast<unsigned long long>(s.cancelled));
  }
  close(redir_listener);
  if (!redir_at.unix_path.empty()) unlink(redir_at.unix_path.c_str());
  if (control_listener >= 0) close(control_listener);
  if (!control_text.empty() && !control_at.unix_path.empty()) unlink(control_at.unix_path.c_str());
  vexdaq_sim_reset();
  return rc;
}
