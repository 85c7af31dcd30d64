#include "host_tree.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "board.h"

namespace sim {

namespace {

constexpr unsigned HEADER_TYPE = 0x0e, SECONDARY_BUS = 0x19;
constexpr int RESOURCE_LINES = 13;  // 6 BARs, the ROM, 6 SR-IOV BARs

// The header as the kernel found it when it enumerated the bus. A board is
// read from its storage, so one whose configuration space has died still
// shows what it was when the host started.
uint32_t enumerated(PciFunction *f, unsigned offset, int width) {
  if (auto *board = dynamic_cast<const Board *>(f)) {
    const ConfigSpace &c = board->nic().config();
    return width == 1 ? c.get8(offset) : width == 2 ? c.get16(offset) : c.get32(offset);
  }
  return f->config_read(offset, width);
}

bool is_bridge(PciFunction *f) { return (enumerated(f, HEADER_TYPE, 1) & 0x7f) == 1; }

template <typename... Args>
std::string format(const char *fmt, Args... args) {
  char text[128];
  snprintf(text, sizeof text, fmt, args...);
  return text;
}

std::string resource_text(const PciFunction &f) {
  std::string text;
  auto bars = f.resources();
  for (int i = 0; i < RESOURCE_LINES; i++) {
    PciFunction::Resource r = i < 6 ? bars[i] : PciFunction::Resource{};
    text += format("0x%016llx 0x%016llx 0x%016llx\n", (unsigned long long)r.start, (unsigned long long)r.end,
                   (unsigned long long)r.flags);
  }
  return text;
}

// One line of /proc/bus/pci/devices: bus and devfn, ids, irq, then the
// start (with the BAR's low flag bits) and the size of the 6 BARs and the
// ROM, then the driver's name (none).
std::string proc_devices_line(const Host::Slot &s) {
  PciFunction *f = s.function;
  std::string line =
      format("%02x%02x\t%04x%04x\t%x", s.bus, s.dev << 3 | s.func, enumerated(f, 0, 2), enumerated(f, 2, 2), f->irq());
  auto bars = f->resources();
  for (int i = 0; i < 7; i++) {
    PciFunction::Resource r = i < 6 ? bars[i] : PciFunction::Resource{};
    line += format("\t%16llx", (unsigned long long)(r.start | (r.flags & 0xf)));
  }
  for (int i = 0; i < 7; i++) {
    PciFunction::Resource r = i < 6 ? bars[i] : PciFunction::Resource{};
    line += format("\t%16llx", (unsigned long long)(r.start < r.end ? r.end - r.start + 1 : 0));
  }
  return line + "\t\n";
}

}  // namespace

uint32_t HostTree::add(uint32_t parent, std::string name, Kind kind, uint16_t mode, std::string text) {
  auto index = static_cast<uint32_t>(nodes_.size());
  nodes_.push_back(Node{std::move(name), kind, mode, parent, {}, std::move(text)});
  if (parent != NONE) nodes_[parent].children.push_back(index);
  return index;
}

void HostTree::add_function(uint32_t dir, const Host::Slot &slot) {
  PciFunction *f = slot.function;
  uint32_t config = add(dir, "config", Kind::Config, 0644);
  nodes_[config].function = &slot.reached();
  add(dir, "resource", Kind::Text, 0444, resource_text(*f));
  auto bars = f->resources();
  for (int i = 0; i < 6; i++)
    if (bars[i].memory) add(dir, format("resource%d", i), Kind::Link, 0777, bars[i].memory->path());
  bool bridge = is_bridge(f);
  add(dir, "irq", Kind::Text, 0444, format("%d\n", f->irq()));
  add(dir, "vendor", Kind::Text, 0444, format("0x%04x\n", enumerated(f, 0x00, 2)));
  add(dir, "device", Kind::Text, 0444, format("0x%04x\n", enumerated(f, 0x02, 2)));
  add(dir, "class", Kind::Text, 0444, format("0x%06x\n", enumerated(f, 0x08, 4) >> 8));
  add(dir, "revision", Kind::Text, 0444, format("0x%02x\n", enumerated(f, 0x08, 1)));
  add(dir, "subsystem_vendor", Kind::Text, 0444, format("0x%04x\n", bridge ? 0 : enumerated(f, 0x2c, 2)));
  add(dir, "subsystem_device", Kind::Text, 0444, format("0x%04x\n", bridge ? 0 : enumerated(f, 0x2e, 2)));
}

HostTree::HostTree(Host &host) : host_(host) {
  add(NONE, "", Kind::Directory, 0755);
  uint32_t devices = add(ROOT, "devices", Kind::Directory, 0755);
  add(ROOT, "drivers", Kind::Directory, 0755);
  add(ROOT, "slots", Kind::Directory, 0755);
  uint32_t tree = add(ROOT, ".devices", Kind::Directory, 0755);
  uint32_t proc = add(ROOT, ".proc", Kind::Directory, 0555);

  const auto &slots = host.slots();
  // The bridge whose secondary bus holds each function, or -1 on a root bus.
  std::vector<int> parent(slots.size(), -1);
  for (size_t i = 0; i < slots.size(); i++)
    for (size_t b = 0; b < slots.size(); b++)
      if (b != i && slots[b].domain == slots[i].domain && is_bridge(slots[b].function) &&
          (int)enumerated(slots[b].function, SECONDARY_BUS, 1) == slots[i].bus && slots[b].bus != slots[i].bus)
        parent[i] = (int)b;

  // sysfs: a directory per function below its bridge, named by a link in devices/.
  std::vector<uint32_t> dir(slots.size(), NONE);
  std::vector<std::string> where(slots.size());  // path below .devices
  std::function<void(size_t)> place = [&](size_t i) {
    if (dir[i] != NONE) return;
    const Host::Slot &s = slots[i];
    uint32_t above;
    if (parent[i] >= 0) {
      place(parent[i]);
      above = dir[parent[i]];
      where[i] = where[parent[i]] + "/" + s.name();
    } else {
      std::string root = format("pci%04x:%02x", s.domain, s.bus);
      above = child(tree, root);
      if (above == NONE) above = add(tree, root, Kind::Directory, 0755);
      where[i] = root + "/" + s.name();
    }
    dir[i] = add(above, s.name(), Kind::Directory, 0755);
    add_function(dir[i], s);
  };
  for (size_t i = 0; i < slots.size(); i++) {
    place(i);
    add(devices, slots[i].name(), Kind::Link, 0777, "../.devices/" + where[i]);
  }

  // procfs: the devices table and a directory per bus.
  std::string table;
  for (const Host::Slot &s : slots) {
    table += proc_devices_line(s);
    std::string bus = s.domain ? format("%04x:%02x", s.domain, s.bus) : format("%02x", s.bus);
    uint32_t bus_dir = child(proc, bus);
    if (bus_dir == NONE) bus_dir = add(proc, bus, Kind::Directory, 0555);
    uint32_t file = add(bus_dir, format("%02x.%x", s.dev, s.func), Kind::Config, 0644);
    nodes_[file].function = &s.reached();
  }
  add(proc, "devices", Kind::Text, 0444, table);
  add(ROOT, ".mem", Kind::Memory, 0640);
}

uint32_t HostTree::child(uint32_t dir, std::string_view name) const {
  for (uint32_t c : nodes_[dir].children)
    if (nodes_[c].name == name) return c;
  return NONE;
}

uint32_t HostTree::find(std::string_view path) const {
  uint32_t at = ROOT;
  while (!path.empty() && at != NONE) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (nodes_[at].kind != Kind::Directory) return NONE;
    if (!part.empty()) at = child(at, part);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
  }
  return at;
}

}  // namespace sim
