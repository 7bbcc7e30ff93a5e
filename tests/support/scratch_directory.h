// A fresh working directory for as long as the object lives, so that a session's log (written to
// log/ under the working directory) never litters or mixes with another run's. Shared by the
// tests and the benchmarks; needs nothing but the standard library.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

namespace vexdaq::testing {

class ScratchDirectory {
 public:
  ScratchDirectory() : previous_(std::filesystem::current_path()), directory_(unique_directory()) {
    std::filesystem::current_path(directory_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(directory_, ignored);
  }
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;

 private:
  // A new directory under the system's temporary directory (mkdtemp is POSIX only). Creating it
  // is the test of uniqueness, so parallel processes never share one.
  static std::filesystem::path unique_directory() {
    static std::mt19937_64 random{
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "vexdaq-test-%016llx",
                    static_cast<unsigned long long>(random()));
      std::error_code error;
      if (std::filesystem::create_directory(base / name, error)) return base / name;
    }
    std::abort();
  }

  std::filesystem::path previous_;
  std::filesystem::path directory_;
};

}  // namespace vexdaq::testing
