#define FUSE_USE_VERSION 312
#include "host_fs.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

using Kind = HostTree::Kind;

// Nothing in the tree changes shape while it is mounted, so the kernel may
// keep names and attributes for as long as it likes.
constexpr double FOREVER = 1e9;
// What a process without CAP_SYS_ADMIN sees of a configuration space, as in Linux.
constexpr unsigned UNPRIVILEGED_CONFIG = 64;

time_t mounted_at;

HostFs &self(fuse_req_t req) { return *static_cast<HostFs *>(fuse_req_userdata(req)); }

// Inode numbers are node indexes plus one: the root is FUSE_ROOT_ID.
uint32_t node_of(fuse_ino_t ino) { return static_cast<uint32_t>(ino - 1); }

bool valid(const HostFs &fs, fuse_ino_t ino) { return ino >= 1 && ino - 1 < fs.tree().size(); }

struct stat stat_of(const HostTree &tree, uint32_t index) {
  const HostTree::Node &n = tree.node(index);
  struct stat st {};
  st.st_ino = index + 1;
  st.st_nlink = 1;
  st.st_blksize = 4096;
  st.st_atime = st.st_mtime = st.st_ctime = mounted_at;
  switch (n.kind) {
    case Kind::Directory:
      st.st_mode = S_IFDIR | n.mode;
      st.st_nlink = 2;
      for (uint32_t c : n.children)
        if (tree.node(c).kind == Kind::Directory) st.st_nlink++;
      break;
    case Kind::Text:
      st.st_mode = S_IFREG | n.mode;
      st.st_size = static_cast<off_t>(n.text.size());
      break;
    case Kind::Config:
      st.st_mode = S_IFREG | n.mode;
      st.st_size = n.function->config_size();
      break;
    case Kind::Link:
      st.st_mode = S_IFLNK | n.mode;
      st.st_size = static_cast<off_t>(n.text.size());
      break;
    case Kind::Memory:
      st.st_mode = S_IFREG | n.mode;
      st.st_size = static_cast<off_t>(HostTree::MEMORY_SIZE);
      break;
  }
  return st;
}

void fs_init(void *, fuse_conn_info *conn) {
  if (conn->capable & FUSE_CAP_CACHE_SYMLINKS) conn->want |= FUSE_CAP_CACHE_SYMLINKS;
#ifdef FUSE_CAP_DIRECT_IO_ALLOW_MMAP
  // A shared mapping of a direct-I/O file would be page cache, not the
  // model: it must keep failing.
  conn->want &= ~FUSE_CAP_DIRECT_IO_ALLOW_MMAP;
#endif
}

void fs_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
  HostFs &fs = self(req);
  if (!valid(fs, parent) || fs.tree().node(node_of(parent)).kind != Kind::Directory) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  fuse_entry_param e{};
  e.entry_timeout = FOREVER;  // a name that is absent stays absent
  uint32_t found = fs.tree().child(node_of(parent), name);
  if (found != HostTree::NONE) {
    e.ino = found + 1;
    e.attr = stat_of(fs.tree(), found);
    e.attr_timeout = FOREVER;
  }
  fuse_reply_entry(req, &e);
}

void fs_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
  HostFs &fs = self(req);
  if (!valid(fs, ino)) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = stat_of(fs.tree(), node_of(ino));
  fuse_reply_attr(req, &st, FOREVER);
}

// Configuration files ignore truncation and mode changes, as in sysfs.
void fs_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi) { fs_getattr(req, ino, fi); }

void fs_readlink(fuse_req_t req, fuse_ino_t ino) {
  HostFs &fs = self(req);
  if (!valid(fs, ino) || fs.tree().node(node_of(ino)).kind != Kind::Link) {
    fuse_reply_err(req, EINVAL);
    return;
  }
  fuse_reply_readlink(req, fs.tree().node(node_of(ino)).text.c_str());
}

void fs_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
  HostFs &fs = self(req);
  if (!valid(fs, ino)) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  const HostTree::Node &n = fs.tree().node(node_of(ino));
  switch (n.kind) {
    case Kind::Config:
      // Every access must reach the model: no page cache.
      fi->direct_io = 1;
      fi->fh = fuse_req_ctx(req)->uid == 0;  // whether the whole space is visible
      break;
    case Kind::Memory:
      // The same, which also makes a shared mapping fail (ENODEV).
      fi->direct_io = 1;
      break;
    case Kind::Text:
      if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
        return;
      }
      fi->keep_cache = 1;
      break;
    case Kind::Directory:
      fuse_reply_err(req, EISDIR);
      return;
    case Kind::Link:
      fuse_reply_err(req, ELOOP);
      return;
  }
  fuse_reply_open(req, fi);
}

// The part of a configuration file of `size` bytes, of which `visible` can
// be reached, that a transfer of `count` bytes at `offset` covers.
size_t config_span(unsigned size, unsigned visible, off_t offset, size_t count) {
  unsigned limit = std::min(size, visible);
  if (offset < 0 || offset >= (off_t)limit) return 0;
  return std::min<size_t>(count, limit - offset);
}

void fs_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *fi) {
  HostFs &fs = self(req);
  const HostTree::Node &n = fs.tree().node(node_of(ino));
  if (n.kind == Kind::Text) {
    size_t length = n.text.size();
    size_t start = off < 0 ? length : std::min<size_t>(off, length);
    fuse_reply_buf(req, n.text.data() + start, std::min(size, length - start));
    return;
  }
  if (n.kind == Kind::Memory) {
    fs.memory_buffer.resize(std::min(size, HostFs::MAX_MEMORY_TRANSFER));
    if (!memory_file_read(fs.tree().host(), off, fs.memory_buffer.data(), fs.memory_buffer.size()))
      fuse_reply_err(req, EIO);
    else
      fuse_reply_buf(req, reinterpret_cast<const char *>(fs.memory_buffer.data()), fs.memory_buffer.size());
    return;
  }
  if (n.kind != Kind::Config) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  unsigned config_size = std::min(n.function->config_size(), HostFs::MAX_CONFIG);
  size_t count = config_span(config_size, fi->fh ? config_size : UNPRIVILEGED_CONFIG, off, size);
  config_file_read(*n.function, static_cast<unsigned>(off), fs.io_buffer, count);
  fuse_reply_buf(req, reinterpret_cast<const char *>(fs.io_buffer), count);
}

void fs_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off, fuse_file_info *) {
  HostFs &fs = self(req);
  const HostTree::Node &n = fs.tree().node(node_of(ino));
  if (n.kind == Kind::Memory) {
    size = std::min(size, HostFs::MAX_MEMORY_TRANSFER);
    if (!memory_file_write(fs.tree().host(), off, reinterpret_cast<const uint8_t *>(buf), size))
      fuse_reply_err(req, EIO);
    else
      fuse_reply_write(req, size);
    return;
  }
  if (n.kind != Kind::Config) {
    fuse_reply_err(req, EACCES);
    return;
  }
  unsigned config_size = std::min(n.function->config_size(), HostFs::MAX_CONFIG);
  size_t count = config_span(config_size, config_size, off, size);
  config_file_write(*n.function, static_cast<unsigned>(off), reinterpret_cast<const uint8_t *>(buf), count);
  fuse_reply_write(req, count);
}

void fs_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
  HostFs &fs = self(req);
  if (!valid(fs, ino) || fs.tree().node(node_of(ino)).kind != Kind::Directory) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  const HostTree::Node &dir = fs.tree().node(node_of(ino));
  std::vector<char> out(size);
  size_t used = 0;
  // Entry k: 0 ".", 1 "..", then the children; an entry's offset is the next k.
  for (size_t k = off < 0 ? 0 : static_cast<size_t>(off); k < dir.children.size() + 2; k++) {
    struct stat st {};
    const char *name;
    if (k < 2) {
      uint32_t which = k == 0 || dir.parent == HostTree::NONE ? node_of(ino) : dir.parent;
      st.st_ino = which + 1;
      st.st_mode = S_IFDIR;
      name = k == 0 ? "." : "..";
    } else {
      uint32_t c = dir.children[k - 2];
      st = stat_of(fs.tree(), c);
      name = fs.tree().node(c).name.c_str();
    }
    size_t need = fuse_add_direntry(req, out.data() + used, size - used, name, &st, static_cast<off_t>(k + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, out.data(), used);
}

const fuse_lowlevel_ops operations = [] {
  fuse_lowlevel_ops ops{};
  ops.init = fs_init;
  ops.lookup = fs_lookup;
  ops.getattr = fs_getattr;
  ops.setattr = fs_setattr;
  ops.readlink = fs_readlink;
  ops.open = fs_open;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.readdir = fs_readdir;
  return ops;
}();

std::string errno_text(const char *what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

HostFs::HostFs(const HostTree &tree) : tree_(tree), request_(new fuse_buf{}) {}

HostFs::~HostFs() {
  if (session_)
    fuse_session_destroy(session_);  // closes the device
  else if (fd_ >= 0)
    close(fd_);
  free(request_->mem);
  delete request_;
}

void HostFs::mount(const char *mountpoint, bool debug) {
  mounted_at = time(nullptr);
  fd_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(errno_text("cannot open /dev/fuse"));
  char options[128];
  snprintf(options, sizeof options, "fd=%d,rootmode=40000,user_id=0,group_id=0,allow_other,default_permissions", fd_);
  if (::mount("simhost", mountpoint, "fuse.simhost", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0)
    throw std::runtime_error(errno_text((std::string("cannot mount a FUSE file system on ") + mountpoint).c_str()));

  char program[] = "simhost", verbose[] = "-d";
  char *argv[] = {program, verbose, nullptr};
  fuse_args args = FUSE_ARGS_INIT(debug ? 2 : 1, argv);
  session_ = fuse_session_new(&args, &operations, sizeof operations, this);
  fuse_opt_free_args(&args);
  if (!session_) throw std::runtime_error("cannot start a FUSE session");
  // The session takes over the descriptor mounted above.
  char device[32];
  snprintf(device, sizeof device, "/dev/fd/%d", fd_);
  if (fuse_session_mount(session_, device) != 0) throw std::runtime_error("cannot attach the FUSE session");
}

bool HostFs::serve_one() {
  int n = fuse_session_receive_buf(session_, request_);
  if (n == -EINTR || n == -EAGAIN || n == -ENOENT) return true;  // nothing to do, or the request was interrupted
  if (n <= 0) return false;
  fuse_session_process_buf(session_, request_);
  return !fuse_session_exited(session_);
}

}  // namespace sim
