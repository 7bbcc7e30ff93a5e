#include "acquisition/thread_class.h"

#include <sched.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

namespace vexdaq_panel {

std::string transfer_thread_classes() {
#if defined(__linux__)
  std::string text;
  std::error_code ec;
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name != "vexdaq-rx" && name != "vexdaq-tx") continue;
    const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
    const int policy = sched_getscheduler(tid);
    sched_param param{};
    sched_getparam(tid, &param);
    std::string what;
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
      what = std::string(policy == SCHED_FIFO ? "SCHED_FIFO " : "SCHED_RR ") +
             std::to_string(param.sched_priority);
    } else {
      what =
          "SCHED_OTHER nice " + std::to_string(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)));
    }
    text += (text.empty() ? "" : ", ") + name + " " + what;
  }
  return text.empty() ? "not found" : text;
#else
  return "unknown";
#endif
}

}  // namespace vexdaq_panel
