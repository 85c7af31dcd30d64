// How the virtual host turns configuration-file transfers into register
// accesses of the model, without mounting anything.

#include "host_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A function that logs every register access ("4@8": 4 bytes at 8) over
// plain bytes.
class Recorder : public sim::PciFunction {
 public:
  Recorder() {
    for (unsigned i = 0; i < sizeof bytes; i++) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  uint32_t config_read(unsigned offset, int width) override {
    log.push_back(std::to_string(width) + "@" + std::to_string(offset));
    uint32_t v = 0;
    for (int i = 0; i < width; i++) v |= (uint32_t)bytes[offset + i] << 8 * i;
    return v;
  }
  void config_write(unsigned offset, uint32_t value, int width) override {
    log.push_back(std::to_string(width) + "@" + std::to_string(offset));
    for (int i = 0; i < width; i++) bytes[offset + i] = value >> 8 * i;
  }
  unsigned config_size() const override { return sizeof bytes; }

  uint8_t bytes[64];
  std::vector<std::string> log;
};

// Registers react to the width and position of each access (a write that
// covers one byte of a register starts an EEPROM read), so a transfer must be
// split exactly as Linux splits it.
TEST(ConfigFile, TransfersSplitIntoRegisterAccessesAsLinuxSplitsThem) {
  struct Case {
    unsigned offset;
    size_t count;
    std::vector<std::string> accesses;
  };
  const Case cases[] = {
      {0, 4, {"4@0"}}, {0, 12, {"4@0", "4@4", "4@8"}}, {1, 7, {"1@1", "2@2", "4@4"}}, {2, 2, {"2@2"}},
      {3, 1, {"1@3"}}, {1, 2, {"1@1", "1@2"}},         {5, 3, {"1@5", "2@6"}},        {6, 7, {"2@6", "4@8", "1@12"}},
      {8, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " bytes at " << c.offset);
    Recorder read_side;
    uint8_t out[64] = {};
    sim::config_file_read(read_side, c.offset, out, c.count);
    EXPECT_EQ(read_side.log, c.accesses);
    for (size_t i = 0; i < c.count; i++) EXPECT_EQ(out[i], read_side.bytes[c.offset + i]) << "byte " << i;

    Recorder write_side;
    uint8_t in[64], before[64];
    for (size_t i = 0; i < sizeof in; i++) in[i] = static_cast<uint8_t>(0xa0 + i);
    memcpy(before, write_side.bytes, sizeof before);
    sim::config_file_write(write_side, c.offset, in, c.count);
    EXPECT_EQ(write_side.log, c.accesses);
    for (unsigned at = 0; at < sizeof before; at++) {
      bool inside = at >= c.offset && at < c.offset + c.count;
      EXPECT_EQ(write_side.bytes[at], inside ? in[at - c.offset] : before[at]) << "offset " << at;
    }
  }
}

}  // namespace
