// Prints how long the running-product guard's process walk takes over 10,000
// simulated processes, through each back-end (PSAPI on NT, Toolhelp on the 9x
// family): the median of several walks, and the cost per process. It asserts
// nothing; the simulated machine's own bookkeeping (its call log above all) is
// part of the figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "install/product_guard.h"
#include "platform/sim/sim_machine.h"

namespace {

constexpr int Processes = 10000;
constexpr int Walks = 7;

bool CountingVisitor(korvanta::PlatformOps& ops, DWORD processId, const char* exeName,
                     uintptr_t user) {
  ++*reinterpret_cast<long*>(user);
  // The guard's own visitor does the real work per process.
  return korvanta::ProductProcessVisitor(ops, processId, exeName, 0);
}

}  // namespace

int main() {
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    korvanta::sim::SimMachine machine;
    machine.SetPlatform(platform, platform == VER_PLATFORM_WIN32_NT ? 5 : 4);
    machine.AddProcesses(Processes);
    std::vector<double> milliseconds;
    long visited = 0;
    for (int walk = 0; walk < Walks; ++walk) {
      machine.ClearCalls();
      visited = 0;
      const auto start = std::chrono::steady_clock::now();
      korvanta::EnumerateProcesses(machine, CountingVisitor, reinterpret_cast<uintptr_t>(&visited));
      milliseconds.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    const double median = milliseconds[Walks / 2];
    std::printf("  %s: %ld processes visited in %.1f ms (median of %d), %.2f us per process\n",
                platform == VER_PLATFORM_WIN32_NT ? "PSAPI (NT)   " : "Toolhelp (9x)", visited,
                median, Walks, median * 1000.0 / static_cast<double>(visited));
  }
  return 0;
}
