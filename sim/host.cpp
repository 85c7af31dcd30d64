#include "host.h"

#include <cstdio>

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

// ---- The link of a root port to its board ------------------------------
// Only what restarting a board through its port needs: setting Link
// Control's link disable (bit 4, at capability + 0x10) takes the board's
// link down, clearing it brings the link back, which restarts the board
// (board.h). Nothing else of the link is modeled here.
class LinkedRootPort : public PlainFunction {
 public:
  static constexpr unsigned LINK_CONTROL = 0x40 + 0x10;
  static constexpr uint16_t LINK_DISABLE = 0x0010;

  LinkedRootPort() : PlainFunction(4096, 0) { cfg.writable(LINK_CONTROL, LINK_DISABLE, 2); }
  void config_write(unsigned offset, uint32_t value, int width) override {
    PlainFunction::config_write(offset, value, width);
    if (!board || offset > LINK_CONTROL || offset + width <= LINK_CONTROL) return;
    if (cfg.get16(LINK_CONTROL) & LINK_DISABLE)
      board->link_down();
    else
      board->link_up();
  }

  Board *board = nullptr;
};

// A PCI Express root port (port type 4) whose secondary bus holds one NIC
// and whose memory window covers that NIC's BARs.
std::unique_ptr<LinkedRootPort> root_port(int port, int secondary, uint32_t window_start, uint32_t window_end) {
  auto f = std::make_unique<LinkedRootPort>();
  ConfigSpace &c = f->cfg;
  c.set16(0x00, 0x8086);
  c.set16(0x02, 0x1901);
  c.writable(0x04, 0x0547, 2);
  c.write_one_to_clear(0x06, 0xf900, 2);
  c.set32(0x08, 0x06040000);  // PCI-to-PCI bridge
  c.set8(0x0e, 0x01);
  c.set8(0x18, 0);
  c.set8(0x19, secondary);
  c.set8(0x1a, secondary);
  c.writable(0x18, 0x00ffffff, 4);
  c.set16(0x1c, 0x00f0);  // I/O window closed
  c.set16(0x20, window_start >> 16 & 0xfff0);
  c.set16(0x22, window_end >> 16 & 0xfff0);
  c.writable(0x20, 0xfff0fff0, 4);
  c.set16(0x24, 0xfff1);  // prefetchable window closed
  c.set16(0x26, 0x0001);
  c.writable(0x3c, 0xff, 1);
  c.writable(0x3e, 0x0fff, 2);

  unsigned e = c.add_capability(0x40, 0x10);
  c.set16(e + 0x02, 0x0142);  // version 2, root port, slot implemented
  c.set32(e + 0x04, 0x00008002);  // max payload 512
  c.writable(e + 0x08, 0x7fff, 2);
  c.set16(e + 0x08, 0x2000);
  c.write_one_to_clear(e + 0x0a, 0x000f, 2);
  c.set32(e + 0x0c, (uint32_t)port << 24 | 0x00100481);  // port number, link active reporting, 2.5 GT/s x8
  c.writable(e + 0x10, 0x00cb, 2);
  c.set16(e + 0x12, 0x3081);  // link active, slot clock, 2.5 GT/s x8
  c.set32(e + 0x14, (uint32_t)port << 19);  // physical slot number
  c.set16(e + 0x18, 0x03c0);                // slot control: attention and power indicators off
  c.writable(e + 0x18, 0x17ff, 2);
  c.writable(e + 0x1c, 0x001f, 2);  // root control
  c.write_one_to_clear(e + 0x20, 0x00010000, 4);  // root status: PME status
  c.set32(e + 0x24, 0x0000001f);
  c.writable(e + 0x28, 0x001f, 2);
  c.set32(e + 0x2c, 0x00000002);
  c.set16(e + 0x30, 0x0001);
  c.writable(e + 0x30, 0x000f, 2);

  c.add_aer_capability(0x100, 2);
  return f;
}


}  // namespace

std::string Host::Slot::name() const {
  char text[16];
  snprintf(text, sizeof text, "%04x:%02x:%02x.%d", domain, bus, dev, func);
  return text;
}

Host::Host(const HostOptions &options) {
  auto add = [this](int bus, int dev, int func, std::unique_ptr<PciFunction> f) {
    slots_.push_back({0, bus, dev, func, f.get()});
    owned_.push_back(std::move(f));
  };
  add(0, 0, 0, host_bridge());
  // Each board sits alone behind a root port of its own: BAR0 and BAR2 in a
  // 32 MiB window per board.
  std::vector<std::pair<int, std::unique_ptr<Board>>> boards;
  for (size_t i = 0; i < options.boards.size(); i++) {
    int bus = board_bus(i);
    uint32_t bar0 = 0xc0000000u + (uint32_t)i * 0x2000000u, bar2 = bar0 + Chip::BAR0_SIZE;
    BoardOptions o = options.boards[i];
    o.index = (int)i;
    auto port = root_port(1 + (int)i, bus, bar0, bar2 + Chip::BAR2_SIZE - 1);
    auto board = std::make_unique<Board>(o, bar0, bar2);
    port->board = board.get();
    add(0, 1 + (int)i, 0, std::move(port));
    boards_.push_back(board.get());
    boards.emplace_back(bus, std::move(board));
  }
  if (options.other_device) add(0, 0x1f, 0, other_device());
  for (auto &[bus, board] : boards) add(bus, 0, 0, std::move(board));
}

Host::~Host() = default;

PciFunction *Host::find(int domain, int bus, int dev, int func) const {
  for (const Slot &s : slots_)
    if (s.domain == domain && s.bus == bus && s.dev == dev && s.func == func) return s.function;
  return nullptr;
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
