// vexdaq doctor: says why no instrument is found, in words a user can act on.
#include <cstdio>
#include <filesystem>
#include <string>

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

}  // namespace

void add_doctor_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("doctor", "Explain why no instrument is found");
  cmd->callback([&global] {
    SimPlug plug(global);
    char version[32] = {};
    vexdaq_get_version(version, sizeof version);
    std::printf("library version %s\n", version);
    std::printf("session logs go to %s/ (--log-dir changes it)\n", log_directory().c_str());
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
