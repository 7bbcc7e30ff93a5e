// The 8051 core against an independent simulator: small self-checking programs are compiled
// with SDCC, run to their halt loop in s51 (SDCC's ucsim) and in our core, and the end states
// (internal RAM, the core SFRs, all external RAM, the PC) must be identical.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/mcs51/cpu.h"

namespace vexdaq::sim::mcs51 {
namespace {

struct State {
  std::array<uint8_t, 256> iram{};
  std::array<uint8_t, 128> sfr{};
  std::vector<uint8_t> xram = std::vector<uint8_t>(0x10000, 0);
  uint32_t pc = 0;
};

// SFRs both simulators hold as plain registers (the ports and timers are modelled differently).
constexpr uint8_t kComparedSfrs[] = {Cpu::kAcc, Cpu::kB,   Cpu::kPsw, Cpu::kSp,
                                     Cpu::kDpl, Cpu::kDph, Cpu::kP2};

std::string run_command(const std::string &command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

bool installed(const std::string &tool) {
  return !run_command("command -v " + tool + " 2>/dev/null").empty();
}

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Compiles a program; its image and the address of its `_halt_here` loop.
bool compile(const std::string &name, std::vector<uint8_t> &code, uint32_t &halt) {
  const std::string source = std::string(VEXDAQ_MCS51_PROGRAMS) + "/" + name + ".c";
  if (std::system(("sdcc -mmcs51 -o " + name + ".ihx " + source + " >sdcc.log 2>&1").c_str()) !=
      0) {
    ADD_FAILURE() << read_text("sdcc.log");
    return false;
  }
  std::istringstream map(read_text(name + ".map"));
  std::string line;
  halt = 0x10000;
  while (std::getline(map, line)) {
    std::istringstream words(line);
    std::string area, address, symbol;
    if (words >> area >> address >> symbol && symbol == "_halt_here") {
      halt = static_cast<uint32_t>(std::stoul(address, nullptr, 16));
    }
  }
  code.assign(0x10000, 0);
  std::istringstream hex(read_text(name + ".ihx"));
  while (std::getline(hex, line)) {
    if (line.size() < 11 || line[0] != ':') continue;
    auto byte = [&](size_t i) { return std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16); };
    unsigned length = byte(0), address = byte(1) << 8 | byte(2), type = byte(3);
    if (type != 0) continue;
    for (unsigned i = 0; i < length; ++i) code[(address + i) & 0xFFFF] = uint8_t(byte(4 + i));
  }
  EXPECT_LT(halt, 0x10000u) << name << ": no _halt_here in the map";
  return halt < 0x10000;
}

// Reads the bytes of "dump" output lines that follow `header`: "0xADDR  hex hex ... ascii" or,
// for named SFRs, "0xADDR NAME: 0b... 0xVALUE ...". Each line's byte count comes from the next
// line's address, so the ASCII column is never taken for data.
bool parse_dump(const std::string &text, const std::string &header, uint8_t *out, size_t size) {
  size_t at = text.find(header + "\n");
  if (at == std::string::npos) return false;
  std::istringstream lines(text.substr(at + header.size() + 1));
  std::vector<std::pair<size_t, std::vector<std::string>>> rows;
  std::string line;
  while (std::getline(lines, line) && line.rfind("0x", 0) == 0) {
    std::istringstream words(line);
    std::string address;
    words >> address;
    std::vector<std::string> rest;
    for (std::string w; words >> w;) rest.push_back(w);
    rows.emplace_back(std::stoul(address, nullptr, 16), rest);
  }
  if (rows.empty()) return false;
  const size_t base = rows[0].first;
  for (size_t r = 0; r < rows.size(); ++r) {
    const size_t end = r + 1 < rows.size() ? rows[r + 1].first : base + size;
    const auto &words = rows[r].second;
    const size_t count = end - rows[r].first;
    if (!words.empty() && words[0].back() == ':') {
      if (words.size() < 3 || count != 1) return false;
      out[rows[r].first - base] = uint8_t(std::stoul(words[2], nullptr, 16));
      continue;
    }
    if (words.size() < count) return false;
    for (size_t i = 0; i < count; ++i) {
      out[rows[r].first - base + i] = uint8_t(std::stoul(words[i], nullptr, 16));
    }
  }
  return true;
}

bool run_s51(const std::string &name, uint32_t halt, State &state) {
  char breakpoint[32];
  std::snprintf(breakpoint, sizeof breakpoint, "break 0x%04X\n", halt);
  std::ofstream(name + ".cmd") << "load \"" << name << ".ihx\"\n"
                               << "fill iram 0 0xff 0\nfill xram 0 0xffff 0\n"
                               << breakpoint << "run\n"
                               << "dump iram 0 0xff\ndump sfr 0x80 0xff\ndump xram 0 0xffff\n"
                               << "quit\n";
  const std::string out =
      run_command("timeout 120 s51 -t C52 -b -q -C " + name + ".cmd </dev/null 2>&1");
  if (out.find("Breakpoint") == std::string::npos) {
    ADD_FAILURE() << name << ": s51 did not reach the halt loop\n" << out.substr(0, 2000);
    return false;
  }
  state.pc = halt;
  bool ok = parse_dump(out, "dump iram 0 0xff", state.iram.data(), 256) &&
            parse_dump(out, "dump sfr 0x80 0xff", state.sfr.data(), 128) &&
            parse_dump(out, "dump xram 0 0xffff", state.xram.data(), 0x10000);
  EXPECT_TRUE(ok) << name << ": unreadable s51 output";
  return ok;
}

void run_core(const std::vector<uint8_t> &code, uint32_t halt, State &state) {
  struct NoIo final : Bus {
    uint8_t read_io(uint16_t) override { return 0; }
    void write_io(uint16_t, uint8_t) override {}
  } no_io;
  Cpu cpu(code.data(), state.xram.data(), &no_io, 0x10000);
  constexpr uint64_t kBudget = 50'000'000;
  for (uint64_t n = 0; n < kBudget && cpu.pc() != halt; ++n) cpu.run(1);
  state.pc = cpu.pc();
  for (int i = 0; i < 256; ++i) state.iram[i] = cpu.iram(uint8_t(i));
  for (int i = 0; i < 128; ++i) state.sfr[i] = cpu.sfr(uint8_t(0x80 + i));
}

void expect_same(const char *what, const uint8_t *ours, const uint8_t *theirs, size_t size,
                 size_t base) {
  int shown = 0;
  for (size_t i = 0; i < size && shown < 8; ++i) {
    if (ours[i] != theirs[i]) {
      ADD_FAILURE() << what << " 0x" << std::hex << base + i << ": core 0x" << int(ours[i])
                    << ", s51 0x" << int(theirs[i]);
      ++shown;
    }
  }
}

class AgainstS51 : public ::testing::TestWithParam<const char *> {};

TEST_P(AgainstS51, EndStatesMatch) {
  if (!installed("sdcc") || !installed("s51") || !installed("timeout")) {
    GTEST_SKIP() << "sdcc and s51 (Debian: sdcc, sdcc-ucsim) are needed for this comparison";
  }
  const std::string name = GetParam();
  std::vector<uint8_t> code;
  uint32_t halt = 0;
  ASSERT_TRUE(compile(name, code, halt));
  State theirs, ours;
  ASSERT_TRUE(run_s51(name, halt, theirs));
  run_core(code, halt, ours);
  ASSERT_EQ(ours.pc, halt) << "the core did not reach the halt loop";
  expect_same("iram", ours.iram.data(), theirs.iram.data(), 256, 0);
  for (uint8_t sfr : kComparedSfrs) {
    expect_same("sfr", &ours.sfr[sfr & 0x7F], &theirs.sfr[sfr & 0x7F], 1, sfr);
  }
  expect_same("xram", ours.xram.data(), theirs.xram.data(), 0x10000, 0);
}

INSTANTIATE_TEST_SUITE_P(Programs, AgainstS51, ::testing::Values("arith", "bits", "compiled"));

}  // namespace
}  // namespace vexdaq::sim::mcs51
