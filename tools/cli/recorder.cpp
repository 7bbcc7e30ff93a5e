#include "cli/recorder.h"

#include <algorithm>

#include "cli/channels.h"
#include "cli/cli_error.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq_cli {

InputRecorder::InputRecorder(std::vector<int> channels, int bytes, int32_t block,
                             std::unique_ptr<CaptureWriter> writer)
    : channels_(std::move(channels)),
      bytes_(bytes),
      block_(block),
      writer_(std::move(writer)),
      stats_(channels_.size()) {}

InputRecorder::~InputRecorder() {
  abandon();
  join();
}

void InputRecorder::start() {
  thread_ = std::thread([this] { run(); });
}

void InputRecorder::finish_at(int64_t frames) {
  target_.store(frames);
}

void InputRecorder::abandon() {
  abandoned_.store(true);
}

void InputRecorder::join() {
  if (thread_.joinable()) thread_.join();
}

void InputRecorder::run() {
  const size_t count = channels_.size();
  std::vector<uint8_t> one(static_cast<size_t>(block_) * bytes_);
  std::vector<uint8_t> frames(one.size() * count);
  try {
    while (!abandoned_.load()) {
      const int64_t target = target_.load();
      if (written_ >= target) break;
      // Whole blocks are read while the end is unknown; the end may then fall inside one.
      const auto n = static_cast<int32_t>(std::min<int64_t>(block_, target - written_));
      for (size_t i = 0; i < count; ++i) {
        if (vexdaq_recv_data(channels_[i], one.data(), n * bytes_, 1) != n * bytes_) {
          failed_ = true;
          error_ = "the input stream stopped early";
          return;
        }
        for (int32_t s = 0; s < n; ++s) {
          std::copy_n(one.data() + static_cast<size_t>(s) * bytes_, bytes_,
                      frames.data() + (static_cast<size_t>(s) * count + i) * bytes_);
        }
      }
      const auto keep = static_cast<int32_t>(std::clamp<int64_t>(target_.load() - written_, 0, n));
      for (int32_t s = 0; s < keep; ++s) {
        for (size_t i = 0; i < count; ++i) {
          stats_[i].add(
              decode_sample(frames.data() + (static_cast<size_t>(s) * count + i) * bytes_, bytes_));
        }
      }
      writer_->write(frames.data(), keep);
      written_ += keep;
    }
  } catch (const CliError &e) {
    failed_ = true;
    error_ = e.what();
  }
}

}  // namespace vexdaq_cli
