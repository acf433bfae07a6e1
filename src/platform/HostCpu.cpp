// Processor counts from sysconf and the kernel's CPU topology.
#include "HostCpu.h"

#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace quirel::host {

namespace {

bool ReadNumber(const std::string& path, long* value) {
  std::ifstream in(path);
  return bool(in >> *value);
}

}  // namespace

int LogicalCpuCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) n = long(std::thread::hardware_concurrency());
  return n < 1 ? 1 : int(n);
}

int PhysicalCpuCount() {
  const int logical = LogicalCpuCount();
  std::set<std::pair<long, long>> cores;
  for (int cpu = 0; cpu < logical; ++cpu) {
    const std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    long package = 0, core = 0;
    if (!ReadNumber(topology + "physical_package_id", &package) || !ReadNumber(topology + "core_id", &core))
      return logical;
    cores.insert({package, core});
  }
  return cores.empty() ? logical : int(cores.size());
}

}  // namespace quirel::host
