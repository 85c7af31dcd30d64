// What the library relies on of the card's kernel driver: its per-card files
// "/proc/uba%d", its requests and its mapping windows. The driver itself is
// not part of this suite.
#pragma once

#include <cstdint>
#include <linux/ioctl.h>

// Configuration request, host byte order.
struct uba_pci_cfg_req {
  uint16_t offset;  // configuration register
  uint16_t width;   // 1, 2 or 4
  uint32_t val;     // value written, or value read back
};
static_assert(sizeof(uba_pci_cfg_req) == 8);

// Copy-block parameters, host byte order.
struct uba_cb_param {
  uint32_t order;
  uint32_t nb_pages;
  uint32_t nid;
  uint32_t nid_nb;
};
static_assert(sizeof(uba_cb_param) == 16);

constexpr unsigned long UBADRV_CB_ALLOC = _IOW('u', 1, uba_cb_param);
constexpr unsigned long UBADRV_PCI_CFG_READ = _IOWR('u', 4, uba_pci_cfg_req);
constexpr unsigned long UBADRV_PCI_CFG_WRITE = _IOW('u', 5, uba_pci_cfg_req);
constexpr unsigned long UBADRV_CB_GET = _IOR('u', 6, uba_cb_param);
constexpr unsigned long UBADRV_CB_PAGES = _IO('u', 7);

// The driver's request numbers are fixed; the encoding must give exactly them.
static_assert(UBADRV_PCI_CFG_READ == 0xc0087504);
static_assert(UBADRV_PCI_CFG_WRITE == 0x40087505);
static_assert(UBADRV_CB_GET == 0x80107506);
static_assert(UBADRV_CB_ALLOC == 0x40107501);
static_assert(UBADRV_CB_PAGES == 0x7507);

// Mapping windows of a card file (file offset, length).
constexpr uint64_t UBADRV_BAR0_OFFSET = 0x1000000, UBADRV_BAR0_SIZE = 0x1000000;
constexpr uint64_t UBADRV_BAR2_OFFSET = 0x2000000, UBADRV_BAR2_SIZE = 0x100000;
constexpr uint64_t UBADRV_COPY_BLOCK_OFFSET = 0x10000000;

constexpr const char UBADRV_CARD_FILE[] = "/proc/uba%d";
constexpr const char UBADRV_UMEM_FILE[] = "/proc/umem";
constexpr const char UBADRV_COPY_BLOCK_FILE[] = "/proc/copy-block";
