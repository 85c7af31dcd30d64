// This machine's real PCI functions as the oracle: through the proc method
// the library lists exactly what the kernel lists under /sys/bus/pci/devices.
// Read-only: nothing here writes to a real device.

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>

#include "test_util.h"
#include "uba_internal.h"

namespace fs = std::filesystem;

namespace {

struct Function {
  uint16_t vendor = 0, device = 0;
  uint64_t bar_start[6] = {};
  uint64_t bar_size[6] = {};
  int irq = 0;
  bool bridge = false;
  std::string parent;  // name of the bridge above, "" on a root bus
  bool operator==(const Function &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Function &f) {
  os << std::hex << f.vendor << ":" << f.device << " irq=" << std::dec << f.irq << " bridge=" << f.bridge
     << " parent=" << f.parent << " bars=" << std::hex;
  for (int i = 0; i < 6; i++) os << f.bar_start[i] << "+" << f.bar_size[i] << " ";
  return os;
}

// The library's name of a function from its sysfs name: the domain is left
// out when it is 0.
std::string short_name(const std::string &sysfs_name) {
  return sysfs_name.rfind("0000:", 0) == 0 ? sysfs_name.substr(5) : sysfs_name;
}

bool is_function_name(const std::string &s) {
  unsigned d, b, dv;
  int f;
  char end;
  return sscanf(s.c_str(), "%x:%x:%x.%d%c", &d, &b, &dv, &f, &end) == 4;
}

std::map<std::string, Function> kernel_view() {
  std::map<std::string, Function> view;
  for (const auto &entry : fs::directory_iterator("/sys/bus/pci/devices")) {
    std::string name = entry.path().filename();
    fs::path dir = entry.path();
    Function f;
    f.vendor = std::stoul(read_file(dir / "vendor"), nullptr, 16);
    f.device = std::stoul(read_file(dir / "device"), nullptr, 16);
    f.irq = std::stoi(read_file(dir / "irq")) & 0xff;  // the record keeps the low byte
    unsigned cls = std::stoul(read_file(dir / "class"), nullptr, 16);
    f.bridge = (cls >> 8) == 0x0604 || (cls >> 8) == 0x0609;  // PCI-to-PCI bridges
    std::istringstream resource(read_file(dir / "resource"));
    for (int i = 0; i < 6; i++) {
      uint64_t start, end, flags;
      resource >> std::hex >> start >> end >> flags;
      f.bar_start[i] = start;
      f.bar_size[i] = end - start;
    }
    std::string above = fs::canonical(dir).parent_path().filename();
    if (is_function_name(above)) f.parent = short_name(above);
    view[short_name(name)] = f;
  }
  return view;
}

TEST(RealHost, ProcMethodListsWhatTheKernelLists) {
  if (!fs::exists("/sys/bus/pci/devices")) GTEST_SKIP() << "no PCI on this machine";
  setenv("UBA_PCI", "proc", 1);
  std::map<std::string, Function> listed;
  pci_scan_bus(pci_alloc());
  ASSERT_STREQ(pci_alloc()->ops->name, "proc");
  std::vector<std::string> order;
  for (pci_dev *d = pci_alloc()->devices; d; d = d->next) {
    Function f;
    f.vendor = d->vendor_id;
    f.device = d->device_id;
    for (int i = 0; i < 6; i++) f.bar_start[i] = d->base_addr[i], f.bar_size[i] = d->size[i];
    f.irq = d->irq;
    f.bridge = d->is_bridge;
    if (d->parent) f.parent = d->parent->name;
    listed[d->name] = f;
    order.push_back(d->name);
  }
  EXPECT_EQ(listed, kernel_view());
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end(), [](const std::string &a, const std::string &b) {
    return (a.size() == 7 ? "0000:" + a : a) < (b.size() == 7 ? "0000:" + b : b);
  }));
}

}  // namespace
