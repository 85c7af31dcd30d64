#include "host.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <tuple>

#include "config_space.h"

namespace sim {

namespace {

// A function of the host around the NICs: plain registers, no behaviour.
class PlainFunction : public PciFunction {
 public:
  PlainFunction(unsigned config_size, int irq) : cfg(config_size), irq_(irq) {}
  uint32_t config_read(unsigned offset, int width) override { return cfg.read(offset, width); }
  void config_write(unsigned offset, uint32_t value, int width) override { cfg.write(offset, value, width); }
  unsigned config_size() const override { return cfg.size(); }
  std::array<Resource, 6> resources() const override { return bars; }
  int irq() const override { return irq_; }

  ConfigSpace cfg;
  std::array<Resource, 6> bars{};

 private:
  int irq_;
};

std::unique_ptr<PlainFunction> host_bridge() {
  auto f = std::make_unique<PlainFunction>(256, 0);
  f->cfg.set16(0x00, 0x8086);
  f->cfg.set16(0x02, 0x0d57);
  f->cfg.writable(0x04, 0x0006, 2);
  f->cfg.set32(0x08, 0x06000000);  // host bridge
  return f;
}

// A conventional Ethernet controller of another vendor with one memory BAR.
std::unique_ptr<PlainFunction> other_device() {
  constexpr uint32_t BAR = 0xfebc0000, SIZE = 0x20000;
  auto f = std::make_unique<PlainFunction>(256, 10);
  f->cfg.set16(0x00, 0x8086);
  f->cfg.set16(0x02, 0x100e);
  f->cfg.writable(0x04, 0x0547, 2);
  f->cfg.write_one_to_clear(0x06, 0xf900, 2);
  f->cfg.set32(0x08, 0x02000003);
  f->cfg.set32(0x10, BAR);
  f->cfg.writable(0x10, ~(SIZE - 1), 4);
  f->cfg.set16(0x2c, 0x8086);
  f->cfg.set16(0x2e, 0x001e);
  f->cfg.set8(0x3c, 10);
  f->cfg.writable(0x3c, 0xff, 1);
  f->cfg.set8(0x3d, 1);
  f->bars[0] = {BAR, BAR + SIZE - 1, 0x00040200, nullptr};
  return f;
}

}  // namespace

std::string Host::Slot::name() const {
  char text[16];
  snprintf(text, sizeof text, "%04x:%02x:%02x.%d", domain, bus, dev, func);
  return text;
}

Host::Host(const HostOptions &options) {
  auto add = [this](int bus, int dev, int func, std::unique_ptr<PciFunction> f, PciFunction *door = nullptr) {
    slots_.push_back({0, bus, dev, func, f.get(), door});
    owned_.push_back(std::move(f));
  };
  // What the host reaches of `f` through the bridges of `path` (root first)
  // above it: null when none of them can take its link down.
  auto door_to = [this](PciFunction &f, const std::vector<Bridge *> &path) -> PciFunction * {
    std::vector<const Bridge *> ports;
    for (auto b = path.rbegin(); b != path.rend(); ++b)
      if ((*b)->downstream()) ports.push_back(*b);
    if (ports.empty()) return nullptr;
    owned_.push_back(std::make_unique<BehindLinks>(f, std::move(ports)));
    return owned_.back().get();
  };
  add(0, 0, 0, host_bridge());
  // Each board sits alone behind a root port of its own, and the switches
  // between them: BAR0 and BAR2 in a 32 MiB window per board.
  const int depth = 1 + 2 * static_cast<int>(options.switches);
  int next_bus = 1;
  for (size_t i = 0; i < options.boards.size(); i++) {
    uint32_t bar0 = 0xc0000000u + (uint32_t)i * 0x2000000u, bar2 = bar0 + Chip::BAR0_SIZE;
    uint32_t window_end = bar2 + Chip::BAR2_SIZE - 1;
    BoardOptions o = options.boards[i];
    o.index = (int)i;
    auto board = std::make_unique<Board>(o, bar0, bar2);
    Board &b = *board;
    boards_.push_back(&b);
    if (!options.bridges) {
      placed_.push_back({0, 1 + (int)i});
      above_.emplace_back();
      add(0, 1 + (int)i, 0, std::move(board));
      continue;
    }
    int first = next_bus, last = next_bus + depth - 1;
    if (last > 255) throw std::invalid_argument("the boards and their switches need more than 255 buses");
    next_bus = last + 1;
    // The chain from the root port down; bridge k (k > 0) sits on bus first + k - 1.
    std::vector<Bridge *> path;
    for (int k = 0; k < depth; k++) {
      Bridge::Kind kind = k == 0 ? Bridge::Kind::RootPort : k % 2 ? Bridge::Kind::SwitchUpstream : Bridge::Kind::SwitchDownstream;
      const BridgeOptions &bo = k == 0 ? options.root_port : k % 2 ? options.switch_upstream : options.switch_downstream;
      int bus = k == 0 ? 0 : first + k - 1;
      Bridge::Placement where{k == 0 ? 1 + (int)i : kind == Bridge::Kind::SwitchUpstream ? 0 : 1, bus, first + k, last,
                              bar0, window_end};
      auto bridge = std::make_unique<Bridge>(kind, bo, where);
      if (!path.empty()) path.back()->attach(*bridge);
      PciFunction *door = door_to(*bridge, path);
      path.push_back(bridge.get());
      add(bus, k == 0 ? 1 + (int)i : 0, 0, std::move(bridge), door);
    }
    path.back()->attach(b);
    placed_.push_back({last, 0});
    above_.emplace_back(path.rbegin(), path.rend());
    PciFunction *door = door_to(b, path);
    add(last, 0, 0, std::move(board), door);
  }
  if (options.other_device) add(0, 0x1f, 0, other_device());
  std::stable_sort(slots_.begin(), slots_.end(), [](const Slot &a, const Slot &b) {
    return std::tie(a.domain, a.bus, a.dev, a.func) < std::tie(b.domain, b.bus, b.dev, b.func);
  });
}

Host::~Host() = default;

PciFunction *Host::find(int domain, int bus, int dev, int func) const {
  for (const Slot &s : slots_)
    if (s.domain == domain && s.bus == bus && s.dev == dev && s.func == func) return s.function;
  return nullptr;
}

PciFunction *Host::reach(int domain, int bus, int dev, int func) const {
  for (const Slot &s : slots_)
    if (s.domain == domain && s.bus == bus && s.dev == dev && s.func == func) return &s.reached();
  return nullptr;
}

std::string Host::board_name(size_t i) const {
  return Slot{0, placed_.at(i).bus, placed_.at(i).dev, 0, nullptr}.name();
}

bool Host::board_reachable(size_t i) const {
  for (const Bridge *b : above_.at(i))
    if (b->downstream() && !b->link_up()) return false;
  return true;
}

void Host::advance(Board::Clock::time_point now) {
  for (Board *b : boards_) b->advance(now);
}

std::optional<Board::Clock::time_point> Host::next_deadline() const {
  std::optional<Board::Clock::time_point> earliest;
  for (const Board *b : boards_)
    if (auto d = b->next_deadline(); d && (!earliest || *d < *earliest)) earliest = d;
  return earliest;
}

}  // namespace sim
