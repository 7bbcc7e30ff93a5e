// Recording input channels on a thread of its own while the main thread plays the outputs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/capture.h"

namespace vexdaq_cli {

class InputRecorder {
 public:
  // The caller has enabled `channels` on the input and sized their FIFOs; the stream has not
  // started yet. Frames are written to `writer` in blocks of `block` frames.
  InputRecorder(std::vector<int> channels, int bytes, int32_t block,
                std::unique_ptr<CaptureWriter> writer);
  ~InputRecorder();  // joins the thread (as abandon() + join() would)
  InputRecorder(const InputRecorder &) = delete;
  InputRecorder &operator=(const InputRecorder &) = delete;

  // Starts the reading thread; call once the stream runs.
  void start();
  // Records exactly `frames` frames in all (from the stream's first), then ends.
  void finish_at(int64_t frames);
  // Ends after the block being read (Ctrl-C, or the outputs failed).
  void abandon();
  // Waits for the thread. Each blocking read returns within a block's time while the stream
  // runs, and with -1 once it has failed, so this is bounded.
  void join();

  int64_t frames() const { return written_; }
  bool failed() const { return failed_; }
  const std::string &error() const { return error_; }
  const std::vector<ChannelStats> &stats() const { return stats_; }
  CaptureWriter &writer() { return *writer_; }

 private:
  void run();

  std::vector<int> channels_;
  int bytes_;
  int32_t block_;
  std::unique_ptr<CaptureWriter> writer_;
  std::vector<ChannelStats> stats_;
  std::atomic<int64_t> target_{INT64_MAX};
  std::atomic<bool> abandoned_{false};
  // Written by the thread, read after join().
  int64_t written_ = 0;
  bool failed_ = false;
  std::string error_;
  std::thread thread_;
};

}  // namespace vexdaq_cli
