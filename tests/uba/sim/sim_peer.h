// The simulator's side of the simulator method's connection, played by a
// thread of the test: it connects to the method's socket, answers
// configuration requests from a configuration space of its own, and keeps
// every other message of the host for the test to take. The test sends
// messages of its own through it (DMA writes and reads, interrupts, faults).
//
// Every wait is bounded (WAIT_LIMIT); the connection stays open until the
// process ends unless the test closes it, so the host's receiver sees an
// end of data only when a test asks for one.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pci_sim.h"

struct SimMessage {
  lu_header_t h;
  std::string data;
};

class SimPeer {
 public:
  static constexpr std::chrono::seconds WAIT_LIMIT{20};

  // The peer of the socket at path; start() sets it going.
  explicit SimPeer(std::string socket_path) : path_(std::move(socket_path)) {}
  ~SimPeer();
  SimPeer(const SimPeer &) = delete;
  SimPeer &operator=(const SimPeer &) = delete;

  // The configuration space the peer answers from; set it before the host
  // reads it.
  std::array<uint8_t, SIM_CONFIG_SPACE> cfg{};
  // Answer configuration reads of 2 bytes or more in two READ_DATA
  // messages, the first with msw 1; between them, after a DMA read round
  // trip has shown the host took in the first, call between_parts.
  bool split_reads = false;
  std::function<void()> between_parts;
  // Bytes to add to every answer of a configuration read.
  std::atomic<int> extra_read_bytes{0};

  // Starts connecting (retrying until the host listens) and serving.
  void start();
  // True once connected (waits up to WAIT_LIMIT).
  bool connected();
  // Sends one message as the simulator.
  void send(const lu_header_t &h, const std::string &data = {});
  // The next message of the host other than the configuration requests the
  // peer answers itself; none when nothing came within WAIT_LIMIT.
  std::optional<SimMessage> next();
  // A DMA read of the host's area, answered through next().
  std::optional<std::string> dma_read(uint32_t offset, uint32_t length);
  // The configuration requests answered so far (header and data).
  std::vector<SimMessage> config_requests();
  // Closes the connection: the host's receiver then sees the end of data.
  void close_connection();

 private:
  void run();
  bool read_message(SimMessage *m);
  void answer_read(const lu_header_t &h);

  std::string path_;
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool connected_ = false;
  std::deque<SimMessage> received_;
  std::vector<SimMessage> config_log_;
  std::mutex send_mu_;
};
