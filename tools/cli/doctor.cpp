// vexdaq doctor: says why no instrument is found, in words a user can act on.
#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

namespace vexdaq_cli {

namespace {

bool udev_rule_installed() {
  for (const char *dir : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
      if (entry.path().filename().string().find("vexdaq") != std::string::npos) return true;
    }
  }
  return false;
}

#if defined(__linux__) || defined(__APPLE__)
// Whether a thread of this user may take SCHED_FIFO at the transfer threads' priority (10), tried
// on a thread of its own so the tool's main thread stays as it was; the error when not.
int realtime_error() {
  int error = 0;
  std::thread probe([&error] {
    sched_param param{};
    param.sched_priority = 10;
    error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  });
  probe.join();
  return error;
}
#endif

// The transfer threads' scheduling: a line that says whether they will get the real-time class
// and, when not, what gives it to them.
void report_realtime() {
#if defined(__linux__) || defined(__APPLE__)
  if (realtime_error() == 0) {
    std::printf("ok: the transfer threads can run in the real-time class (SCHED_FIFO 10)\n");
    return;
  }
  long long limit = -2;
#if defined(RLIMIT_RTPRIO)
  rlimit rt{};
  if (getrlimit(RLIMIT_RTPRIO, &rt) == 0) {
    limit = rt.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(rt.rlim_cur);
  }
#endif
  std::printf(
      "warning: the real-time class is refused to this user (RLIMIT_RTPRIO %lld): the transfer "
      "threads run in the normal class, and a busy machine can make the instrument's FIFO "
      "overflow (the library then reports gaps). To grant it: sudo cp "
      "packaging/95-vexdaq-realtime.conf /etc/security/limits.d/ && sudo groupadd --system "
      "--force vexdaq && sudo usermod -aG vexdaq \"$USER\", then log in again\n",
      limit);
#endif
}

}  // namespace

void add_doctor_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("doctor", "Explain why no instrument is found");
  cmd->callback([&global] {
    SimPlug plug(global);
    char version[32] = {};
    vexdaq_get_version(version, sizeof version);
    std::printf("library version %s\n", version);
    std::printf("session logs go to %s/ (--log-dir changes it)\n", log_directory().c_str());
    report_realtime();
    const int32_t count = vexdaq_device_list();
    if (count < 0) {
      std::printf("problem: the list of instruments cannot be read from the system\n");
      throw CliExit(kExitNoDevice);
    }
    if (count > 0) {
      std::printf("ok: %d instrument(s) found\n", count);
      if (vexdaq_device_open(0) != 0) {
        if (vexdaq_get_last_open_status() == 0x00000005) {
          std::printf(
              "problem: permission denied: this user may not open instrument 0; install "
              "packaging/60-vexdaq.rules (udev rule) into /etc/udev/rules.d, run 'udevadm "
              "control --reload && udevadm trigger' and plug the instrument in again\n");
          throw CliExit(kExitNoDevice);
        }
        std::printf(
            "problem: instrument 0 cannot be opened: another program may be using it, or "
            "this user may lack access to it%s\n",
            udev_rule_installed() ? "" : " (no vexdaq udev rule is installed)");
        throw CliExit(kExitNoDevice);
      }
      vexdaq_device_close();
      std::printf("ok: instrument 0 opens\n");
      throw CliExit(kExitOk);
    }
    std::printf("problem: no instrument found\n");
#if defined(__linux__)
    std::error_code ec;
    if (!std::filesystem::exists("/dev/bus/usb", ec)) {
      std::printf(
          "  - /dev/bus/usb does not exist: this system (or container) gives programs no "
          "USB access\n");
    }
    if (!udev_rule_installed()) {
      std::printf(
          "  - no vexdaq udev rule is installed: as a normal user you may not open the "
          "instrument; install packaging/60-vexdaq.rules into /etc/udev/rules.d and run "
          "'udevadm control --reload && udevadm trigger'\n");
    }
#endif
    std::printf("  - check the cable and that the instrument is powered\n");
    std::printf("  - to try the software without hardware, add --sim\n");
    throw CliExit(kExitNoDevice);
  });
}

}  // namespace vexdaq_cli
