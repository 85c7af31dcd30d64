// simhost: runs a command on a modeled host.
//
// The command runs in a private mount namespace in which a FUSE file system
// over /sys/bus/pci (and bind mounts of parts of it over /proc/bus/pci and
// /dev/mem) serves the functions of a sim::Host. This process is the FUSE
// server: it owns the model and answers every request itself, one at a time,
// so the model needs no locking. Before each request, and on a timer set by
// the boards' next deadline, it advances the boards to the present. It pins
// itself and the command to one CPU, which makes each round trip through
// FUSE a pair of context switches on that CPU.
//
// The modeled host never reaches this machine's hardware: the command runs
// without CAP_SYS_RAWIO (so iopl() fails and the machine's /dev/mem and
// /dev/port cannot be opened), and /dev/mem is the modeled physical memory, read and written
// through pread and pwrite; mapping it fails, since a shared mapping could
// not see the model.
//
// Processes: simhost forks a keeper and then the command, both in a process
// group of the keeper's. The group is killed when the command ends or after
// a signal to simhost has been passed on to it. simhost is a child
// subreaper, so whatever the command leaves behind becomes its child and is
// ended and reaped before simhost exits. If simhost itself is killed, the
// command dies of its parent-death signal and the keeper kills the group.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "host_fs.h"
#include "host_tree.h"
#include "board_items.h"
#include "bridge_items.h"
#include "front_end.h"

namespace {

// Exit statuses of simhost's own failures, as env(1) has them.
constexpr int FAILED = 125, CANNOT_RUN = 126, NOT_FOUND = 127;

constexpr char SYS_BUS_PCI[] = "/sys/bus/pci";
constexpr char PROC_VIEW[] = "/sys/bus/pci/.proc";
constexpr char PROC_BUS_PCI[] = "/proc/bus/pci";
constexpr char MEMORY_VIEW[] = "/sys/bus/pci/.mem";
constexpr char DEV[] = "/dev";
constexpr char DEV_MEM[] = "/dev/mem";
constexpr int MAX_NICS = 30;  // one root port each on bus 0, beside the host bridge and the other device
constexpr int MAX_SWITCHES = 127;  // a NIC's path of 255 buses

// How long the command may take to end after a signal has been passed on,
// and how long its leftovers may take to go.
constexpr auto GRACE = std::chrono::seconds(2);
constexpr auto CLEANUP_LIMIT = std::chrono::seconds(10);

const char USAGE[] = "Usage: simhost [OPTION]... [--] COMMAND [ARG]...\n";
const char HELP[] =
    "Runs COMMAND on a modeled host: in a private mount namespace where\n"
    "/sys/bus/pci and /proc/bus/pci show a host bridge, a PCI Express root port\n"
    "for each modeled 10G NIC with the NIC behind it, and an Ethernet\n"
    "controller of another vendor. Every read and write of a configuration\n"
    "file reaches the model, and a NIC's resource0 and resource2 files map the\n"
    "very memory of its BAR0 and BAR2. /dev/mem is the modeled host's physical\n"
    "memory: the NICs' BAR0 and BAR2 where the host placed them and the\n"
    "configuration window at e0000000, read and written with pread and pwrite\n"
    "(elsewhere they fail with EIO; mapping /dev/mem fails).\n"
    "\n"
    "  --nics N            N NICs with default settings (default 1; 0 to 30)\n"
    "  --nic ITEMS         a NIC described by ITEMS; repeat it for more NICs\n"
    "                      (instead of --nics)\n"
    "  --no-other-device   leave the other vendor's controller out\n"
    "  --switches N        N switches between each root port and its NIC, an\n"
    "                      upstream and a downstream port each (default 0)\n"
    "  --root-port BITEMS  the root ports as BITEMS describe them\n"
    "  --switch-up BITEMS  the switches' upstream ports\n"
    "  --switch-down BITEMS  the switches' downstream ports\n"
    "  --no-bridges        no root port or switch: the NICs sit on bus 0 in\n"
    "                      their root ports' places, with no bridge above them\n"
    "  --debug             log every file-system request on standard error\n"
    "  --stats             at the end, print each NIC's configuration reads\n"
    "                      and writes on standard error\n"
    "  --help              show this help and exit\n"
    "\n"
    "ITEMS is a comma-separated list of:\n";
const char BRIDGE_HELP[] =
    "\n"
    "BITEMS is a comma-separated list of:\n";
const char BRIDGE_HELP_TAIL[] =
    "\n"
    "Root ports and downstream ports take their link down while bit 4 of their\n"
    "link control is set, and reset what is behind them when it is cleared.\n";
const char HELP_TAIL[] =
    "\n"
    "COMMAND runs with SIMHOST=1 in its environment, on the CPU of the model,\n"
    "without CAP_SYS_RAWIO: it cannot use I/O ports.\n"
    "Exit status: COMMAND's, or 128+N when signal N killed it; 125 when simhost\n"
    "itself fails, 126 when COMMAND cannot be run, 127 when it is not found.\n"
    "simhost must run as root.\n";

using sim::front_end::fail;
using sim::front_end::usage_error;

// A NIC described by --nic items; a bad item is a usage error.
sim::BoardChoice parse_nic(std::string_view items) {
  sim::BoardChoice nic;
  if (std::string why = sim::parse_board_items(items, &nic); !why.empty()) usage_error("--nic: %s", why.c_str());
  return nic;
}

// Bridges described by BITEMS; a bad item is a usage error.
void parse_bridge(const char *option, std::string_view items, sim::BridgeOptions *out) {
  if (std::string why = sim::parse_bridge_items(items, out); !why.empty()) usage_error("%s: %s", option, why.c_str());
}

struct Options {
  std::vector<sim::BoardChoice> nics;
  bool other_device = true;
  bool bridges = true;
  unsigned switches = 0;
  sim::BridgeOptions root_port, switch_upstream, switch_downstream;
  bool bridge_items = false, switch_items = false;
  bool debug = false;
  bool stats = false;
  char **command = nullptr;
};

Options parse_options(int argc, char **argv) {
  enum { NICS = 1000, NIC, NO_OTHER, DEBUG, STATS, HELP_OPTION, SWITCHES, ROOT_PORT, SWITCH_UP, SWITCH_DOWN, NO_BRIDGES };
  static const option longs[] = {
      {"nics", required_argument, nullptr, NICS},          {"nic", required_argument, nullptr, NIC},
      {"no-other-device", no_argument, nullptr, NO_OTHER}, {"debug", no_argument, nullptr, DEBUG},
      {"stats", no_argument, nullptr, STATS},              {"help", no_argument, nullptr, HELP_OPTION},
      {"switches", required_argument, nullptr, SWITCHES},  {"root-port", required_argument, nullptr, ROOT_PORT},
      {"switch-up", required_argument, nullptr, SWITCH_UP}, {"switch-down", required_argument, nullptr, SWITCH_DOWN},
      {"no-bridges", no_argument, nullptr, NO_BRIDGES},    {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::optional<uint32_t> count;
  opterr = 0;
  int c;
  // '+': the options end at COMMAND, whose own options are its business.
  while ((c = getopt_long(argc, argv, "+:", longs, nullptr)) != -1) {
    switch (c) {
      case NICS:
        count = sim::parse_number(optarg, MAX_NICS);
        if (!count) usage_error("--nics: '%s' is not a number from 0 to %d", optarg, MAX_NICS);
        break;
      case NIC:
        if (o.nics.size() == MAX_NICS) usage_error("--nic: at most %d NICs", MAX_NICS);
        o.nics.push_back(parse_nic(optarg));
        break;
      case NO_OTHER:
        o.other_device = false;
        break;
      case DEBUG:
        o.debug = true;
        break;
      case STATS:
        o.stats = true;
        break;
      case SWITCHES: {
        auto n = sim::parse_number(optarg, MAX_SWITCHES);
        if (!n) usage_error("--switches: '%s' is not a number from 0 to %d", optarg, MAX_SWITCHES);
        o.switches = *n;
        break;
      }
      case ROOT_PORT:
        parse_bridge("--root-port", optarg, &o.root_port);
        o.bridge_items = true;
        break;
      case SWITCH_UP:
      case SWITCH_DOWN:
        parse_bridge(c == SWITCH_UP ? "--switch-up" : "--switch-down", optarg,
                     c == SWITCH_UP ? &o.switch_upstream : &o.switch_downstream);
        o.bridge_items = o.switch_items = true;
        break;
      case NO_BRIDGES:
        o.bridges = false;
        break;
      case HELP_OPTION:
        printf("%s%s%s%s%s%s%s%s%s", USAGE, HELP, sim::BOARD_ITEMS_HELP, BRIDGE_HELP, sim::BRIDGE_ITEMS_HELP,
               sim::PCIE_ITEMS_HELP, sim::BRIDGE_ERROR_ITEMS_HELP, BRIDGE_HELP_TAIL, HELP_TAIL);
        exit(0);
      case ':':
        usage_error("option '%s' needs a value", argv[optind - 1]);
      default:
        usage_error("unknown option '%s'", argv[optind - 1]);
    }
  }
  if (count && !o.nics.empty()) usage_error("--nics and --nic exclude each other");
  if (!o.bridges && (o.switches || o.bridge_items)) usage_error("--no-bridges leaves no bridge to describe");
  if (o.switch_items && !o.switches) usage_error("--switch-up and --switch-down describe the switches of --switches");
  if (o.nics.empty()) o.nics.resize(count.value_or(1));
  if (optind >= argc) usage_error("no command given");
  o.command = argv + optind;
  return o;
}

pid_t parent_of(pid_t pid) {
  char path[64], text[512];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  // "pid (name) state ppid ...": the name may hold anything, so look after its last ')'.
  const char *end = strrchr(text, ')');
  int ppid;
  char state;
  return end && sscanf(end + 1, " %c %d", &state, &ppid) == 2 ? ppid : -1;
}

// Kills every child of this process: what the command left behind comes
// here, since simhost is a child subreaper.
void kill_children() {
  DIR *proc = opendir("/proc");
  if (!proc) return;
  pid_t self = getpid();
  while (dirent *e = readdir(proc)) {
    char *end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    if (parent_of(static_cast<pid_t>(pid)) == self) kill(static_cast<pid_t>(pid), SIGKILL);
  }
  closedir(proc);
}

// The keeper: a member of the command's process group that outlives the
// command only to take the group down if simhost dies first.
[[noreturn]] void keeper(pid_t host) {
  setpgid(0, 0);
  sigset_t all, wake;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  prctl(PR_SET_PDEATHSIG, SIGUSR1);
  close_range(3, ~0u, 0);  // lets go of the FUSE device
  while (getppid() == host) sigwaitinfo(&wake, nullptr);
  kill(0, SIGKILL);
  _exit(FAILED);
}

// Takes CAP_SYS_RAWIO away for good: from the bounding set, so that no
// program run from here gets it back, and from the effective, permitted and
// inheritable sets (which empties it from the ambient set too).
bool drop_raw_io() {
  if (prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << (CAP_SYS_RAWIO % 32);
  __user_cap_data_struct &d = data[CAP_SYS_RAWIO / 32];
  d.effective &= ~bit;
  d.permitted &= ~bit;
  d.inheritable &= ~bit;
  return syscall(SYS_capset, &header, data) == 0;
}

[[noreturn]] void command_setup_failed(const char *what, const char *path) {
  fprintf(stderr, "simhost: %s %s: %s\n", what, path, strerror(errno));
  _exit(FAILED);
}

// A machine without /dev/mem has nothing to mount the modeled memory over,
// and a file made in its /dev would show outside: the command gets a /dev of
// its own instead, a tmpfs holding the entries of the machine's /dev (bind
// mounts of its directories, with what is mounted below them, and of its
// other files; copies of its links) and `mem`.
void own_dev_with_memory() {
  int old = open(DEV, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old < 0) command_setup_failed("cannot open", DEV);
  std::vector<std::string> names;
  if (DIR *list = opendir(DEV)) {
    while (dirent *e = readdir(list))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
    closedir(list);
  }
  if (mount("simhost", DEV, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755") != 0)
    command_setup_failed("cannot mount a /dev of the command's own over", DEV);
  for (const std::string &name : names) {
    std::string from = "/proc/self/fd/" + std::to_string(old) + "/" + name, to = std::string(DEV) + "/" + name;
    struct stat st;
    if (fstatat(old, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      ssize_t n = readlinkat(old, name.c_str(), target, sizeof target - 1);
      if (n < 0) continue;
      target[n] = '\0';
      if (symlink(target, to.c_str()) != 0) command_setup_failed("cannot copy the link", to.c_str());
      continue;
    }
    bool dir = S_ISDIR(st.st_mode);
    int made = dir ? mkdir(to.c_str(), st.st_mode & 07777) : mknod(to.c_str(), S_IFREG | 0600, 0);
    if (made != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND | (dir ? MS_REC : 0), nullptr) != 0)
      command_setup_failed("cannot show", to.c_str());
  }
  close(old);
  if (mknod(DEV_MEM, S_IFREG | 0600, 0) != 0) command_setup_failed("cannot make", DEV_MEM);
}

// The command's side of the fork: joins the keeper's group, shows the host's
// /proc view and physical memory, gives up raw I/O and runs the command.
[[noreturn]] void run_command(pid_t host, pid_t group, const sigset_t &mask, char **command) {
  setpgid(0, group);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != host) _exit(FAILED);
  struct stat st;
  // Served by simhost, which is polling for requests by now.
  if (stat(PROC_BUS_PCI, &st) == 0 && mount(PROC_VIEW, PROC_BUS_PCI, nullptr, MS_BIND, nullptr) != 0)
    command_setup_failed("cannot mount the host's view over", PROC_BUS_PCI);
  // The physical memory over the machine's /dev/mem (a mount would follow a
  // link planted there), or in a /dev of the command's own.
  if (lstat(DEV_MEM, &st) != 0)
    own_dev_with_memory();
  else if (S_ISLNK(st.st_mode))
    errno = ELOOP, command_setup_failed("cannot hide", DEV_MEM);
  if (mount(MEMORY_VIEW, DEV_MEM, nullptr, MS_BIND, nullptr) != 0)
    command_setup_failed("cannot mount the host's physical memory over", DEV_MEM);
  if (!drop_raw_io()) {
    fprintf(stderr, "simhost: cannot take CAP_SYS_RAWIO away from the command: %s\n", strerror(errno));
    _exit(FAILED);
  }
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  execvp(command[0], command);
  int e = errno;
  fprintf(stderr, "simhost: %s: %s\n", command[0], strerror(e));
  _exit(e == ENOENT ? NOT_FOUND : CANNOT_RUN);
}

// Runs the model and the command on one CPU: the one simhost is on.
void pin_to_one_cpu() {
  int cpu = sched_getcpu();
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

using Clock = std::chrono::steady_clock;

// Milliseconds from `now` until `when`, rounded up, or `timeout` (-1: none)
// when that comes sooner.
int sooner(int timeout, std::optional<Clock::time_point> when, Clock::time_point now) {
  if (!when) return timeout;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(*when - now).count();
  int until = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
  return timeout < 0 ? until : std::min(timeout, until);
}

class Supervisor {
 public:
  Supervisor(sim::Host &host, sim::HostFs &fs, int signals, pid_t group, pid_t command)
      : host_(host), fs_(fs), signals_(signals), group_(group), command_(command) {}

  // Serves the file system until the command has ended and everything it
  // left has gone; returns the command's wait status.
  int run() {
    pollfd fds[2] = {{fs_.fd(), POLLIN, 0}, {signals_, POLLIN, 0}};
    bool served = true;
    while (true) {
      int timeout = -1;
      auto now = Clock::now();
      if (!command_running_) {
        if (!reap() || now > cleanup_until_) break;
        kill(-group_, SIGKILL);
        kill_children();
        timeout = 100;
      } else if (kill_at_) {
        if (now >= *kill_at_) {
          kill(-group_, SIGKILL);
          kill_at_.reset();
        } else {
          timeout =
              static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(*kill_at_ - now).count()) + 1;
        }
      }
      timeout = sooner(timeout, host_.next_deadline(), now);
      if (!served) fds[0].fd = -1;  // the file system has gone: only signals are left
      int n = poll(fds, 2, timeout);
      if (n < 0 && errno != EINTR) fail("poll: %s", strerror(errno));
      host_.advance(Clock::now());  // before a request is served, and on the timer
      if (n <= 0) continue;
      if (fds[1].revents & POLLIN) take_signals();
      if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) served = fs_.serve_one();
    }
    if (command_running_ || reap()) fprintf(stderr, "simhost: processes of the command are still running\n");
    return status_;
  }

 private:
  // Reaps what has ended; false when no child is left.
  bool reap() {
    while (true) {
      int status;
      pid_t pid = waitpid(-1, &status, WNOHANG);
      if (pid < 0) return false;
      if (pid == 0) return true;
      if (pid == command_) {
        status_ = status;
        command_running_ = false;
        cleanup_until_ = Clock::now() + CLEANUP_LIMIT;
        kill(-group_, SIGKILL);  // what the command left in its group, and the keeper
      }
    }
  }

  void take_signals() {
    signalfd_siginfo info;
    while (read(signals_, &info, sizeof info) == sizeof info) {
      int sig = static_cast<int>(info.ssi_signo);
      if (sig == SIGCHLD) {
        reap();
      } else if (command_running_) {
        // Passed on first; a second signal, or the grace period, ends the group.
        kill(-group_, sig);
        kill_at_ = kill_at_ ? Clock::now() : Clock::now() + GRACE;
      }
    }
  }

  sim::Host &host_;
  sim::HostFs &fs_;
  int signals_;
  pid_t group_, command_;
  bool command_running_ = true;
  int status_ = 0;
  std::optional<Clock::time_point> kill_at_;
  Clock::time_point cleanup_until_;
};

}  // namespace

const sim::front_end::Program sim::front_end::program = {"simhost", USAGE, FAILED};

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  if (geteuid() != 0) fail("must run as root: it mounts a file system in a private mount namespace");

  sim::HostOptions host_options;
  host_options.other_device = options.other_device;
  host_options.bridges = options.bridges;
  host_options.switches = options.switches;
  host_options.root_port = options.root_port;
  host_options.switch_upstream = options.switch_upstream;
  host_options.switch_downstream = options.switch_downstream;
  host_options.boards.clear();
  for (const sim::BoardChoice &n : options.nics) {
    host_options.boards.push_back(n.options);
    host_options.boards.back().id_strings = true;  // as the boot firmware of a real card does
  }
  std::optional<sim::Host> host;
  try {
    host.emplace(host_options);
  } catch (const std::exception &e) {
    fail("cannot model the host: %s", e.what());
  }
  for (size_t i = 0; i < options.nics.size(); i++) {
    if (options.nics[i].load.empty()) continue;
    try {
      host->board(i).eeprom().load(options.nics[i].load);
      host->board(i).firmware().power_on();  // the board boots from the EEPROM it was given
    } catch (const std::exception &e) {
      fail("NIC %zu: eeprom=%s: %s", i, options.nics[i].load.c_str(), e.what());
    }
  }
  sim::HostTree tree(*host);

  // Signals are taken from a descriptor in the serving loop; the command
  // gets the mask simhost started with. SIGTTOU stays blocked so that simhost
  // can take the terminal back from the command's group.
  sigset_t handled, blocked, original;
  sigemptyset(&handled);
  for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, sig);
  blocked = handled;
  sigaddset(&blocked, SIGTTOU);
  sigprocmask(SIG_BLOCK, &blocked, &original);
  int signals = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals < 0) fail("signalfd: %s", strerror(errno));
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) fail("cannot become a child subreaper: %s", strerror(errno));
  pin_to_one_cpu();

  if (unshare(CLONE_NEWNS) != 0) fail("cannot create a private mount namespace: %s", strerror(errno));
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    fail("cannot make the mount namespace private: %s", strerror(errno));
  sim::HostFs fs(tree);
  try {
    fs.mount(SYS_BUS_PCI, options.debug);
  } catch (const std::exception &e) {
    fail("%s", e.what());
  }
  setenv("SIMHOST", "1", 1);

  pid_t host_pid = getpid();
  pid_t group = fork();
  if (group < 0) fail("fork: %s", strerror(errno));
  if (group == 0) keeper(host_pid);
  setpgid(group, group);
  // A command on a terminal gets the terminal, as it would without simhost.
  bool terminal = isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
  if (terminal) tcsetpgrp(STDIN_FILENO, group);
  pid_t command = fork();
  if (command < 0) {
    kill(-group, SIGKILL);
    fail("fork: %s", strerror(errno));
  }
  if (command == 0) run_command(host_pid, group, original, options.command);
  setpgid(command, group);

  int status = Supervisor(*host, fs, signals, group, command).run();
  if (terminal) tcsetpgrp(STDIN_FILENO, getpgrp());

  // Nothing is served any more: take the mounts away before touching files,
  // so that no path can lead back into them.
  umount2(DEV_MEM, MNT_DETACH);
  umount2(PROC_BUS_PCI, MNT_DETACH);
  umount2(SYS_BUS_PCI, MNT_DETACH);
  int result = exit_status(status);
  for (size_t i = 0; options.stats && i < host->board_count(); i++)
    fprintf(stderr, "simhost: NIC %zu at %s: %llu configuration reads, %llu writes\n", i,
            host->board_name(i).c_str(), (unsigned long long)host->board(i).counters.config_reads,
            (unsigned long long)host->board(i).counters.config_writes);
  for (size_t i = 0; i < options.nics.size(); i++) {
    if (options.nics[i].save.empty()) continue;
    try {
      host->board(i).eeprom().save(options.nics[i].save);
    } catch (const std::exception &e) {
      fprintf(stderr, "simhost: NIC %zu: save=%s: %s\n", i, options.nics[i].save.c_str(), e.what());
      result = FAILED;
    }
  }
  return result;
}
