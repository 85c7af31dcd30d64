// The copy-block: host pages pinned by the card driver that the NIC's
// firmware reaches by DMA. Through the driver's per-card file (method 8) it
// comes from the driver's requests and a mapping window of that file;
// otherwise from /proc/copy-block, which yields the page addresses when read
// and the pages themselves when mapped.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "uba_drv.h"
#include "uba_internal.h"

namespace {

constexpr uba_cb_param DEFAULT_COPY_BLOCK = {.order = 0, .nb_pages = 16384, .nid = 0, .nid_nb = 1};

bool through_driver(const uba_nic *nic) { return nic->dev->pci->method == UBA_PCI_UBADRV; }

// A copy-block request that must succeed.
void driver_request(int fd, unsigned long request, void *arg) {
  if (uba_host.ioctl(fd, request, arg) != 0) {
    int e = errno;
    handle_error(1, "ioctl:error %s", strerror(e));
  }
}

char *copy_of(const char *text) {
  size_t n = strlen(text) + 1;
  return static_cast<char *>(memcpy(uba_xmalloc(n), text, n));
}

void get_from_driver(uba_cb *cb, pci_dev *dev) {
  cb->dev_name = copy_of(dev->devfs_name);
  uba_cb_param param;
  driver_request(dev->handle, UBADRV_CB_GET, &param);
  cb->nb_pages = param.nb_pages;
  cb->map_size = cb->nb_pages * cb->page_size;
  void *map = mmap(nullptr, cb->map_size, PROT_READ | PROT_WRITE, MAP_SHARED, dev->handle, UBADRV_COPY_BLOCK_OFFSET);
  if (map == MAP_FAILED) {
    int e = errno;
    handle_error(1, "mmap(\"copy-block\", len=%d):%s\n", (int)cb->map_size, strerror(e));
  }
  cb->map = static_cast<uint8_t *>(map);
  cb->dma_addr = static_cast<uint64_t *>(uba_xmalloc(cb->nb_pages * sizeof(uint64_t)));
  driver_request(dev->handle, UBADRV_CB_PAGES, cb->dma_addr);
}

void get_from_proc(uba_cb *cb) {
  char path[256];
  uba_host_path(path, sizeof path, "%s", UBADRV_COPY_BLOCK_FILE);
  cb->dev_name = copy_of(path);
  int fd = uba_xopen(path, O_RDWR);  // stays open while the block is mapped
  struct stat st;
  handle_error(fstat(fd, &st) != 0, "fstat(%s):%s", path, strerror(errno));
  cb->map_size = st.st_size;
  cb->nb_pages = cb->map_size / cb->page_size;
  fprintf(stderr, "map_size=%dKB,nb=%d,psize=%d\n", (int)(cb->map_size >> 10), (int)cb->nb_pages,
          (int)cb->page_size);
  void *map = mmap(nullptr, cb->map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    int e = errno;
    handle_error(1, "mmap(/proc/copy-block, len=%d):%s\n", (int)cb->map_size, strerror(e));
  }
  cb->map = static_cast<uint8_t *>(map);
  cb->dma_addr = static_cast<uint64_t *>(uba_xmalloc(cb->nb_pages * sizeof(uint64_t)));
  uba_xfullread(fd, cb->dma_addr, cb->nb_pages * sizeof(uint64_t));
}

}  // namespace

void uba_init_copy_block(uba_nic *nic, const uba_cb_param *param) {
  if (!through_driver(nic)) return;
  int fd = nic->dev->handle;
  uba_cb_param existing;
  if (uba_host.ioctl(fd, UBADRV_CB_GET, &existing) != 0) {
    uba_cb_param wanted = param ? *param : DEFAULT_COPY_BLOCK;
    driver_request(fd, UBADRV_CB_ALLOC, &wanted);
    return;
  }
  if (param && param->nb_pages != existing.nb_pages)
    handle_error(1, "copy-block already exist with %d pages != requested %d\n", (int)existing.nb_pages,
                 (int)param->nb_pages);
}

uba_cb_t *uba_get_copy_block(uba_nic *nic) {
  if (uba_sim.active) return &uba_sim.cb;
  auto *cb = static_cast<uba_cb *>(uba_xmalloc(sizeof(uba_cb)));
  memset(cb, 0, sizeof *cb);
  cb->page_size = getpagesize();
  if (through_driver(nic))
    get_from_driver(cb, nic->dev);
  else
    get_from_proc(cb);
  return cb;
}
