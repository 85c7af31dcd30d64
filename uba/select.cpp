// Device filters and board selection: by slot text, by id text, or by a mask
// of the maker's NIC generations.

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "uba_internal.h"

void uba_filter_one(const char **cursor, int *field) {
  char *end;
  long value = strtol(*cursor, &end, 16);
  if (end != *cursor) *field = (int)value;
  if (*end != '\0') end++;  // the separator, whatever it is
  *cursor = end;
}

const char *pci_filter_parse_slot(pci_filter *f, const char *s) {
  const char *cursor = s;
  bool has_domain = strlen(s) > 4 && isxdigit((unsigned char)s[0]) && isxdigit((unsigned char)s[1]) &&
                    isxdigit((unsigned char)s[2]) && isxdigit((unsigned char)s[3]) && s[4] == ':';
  if (has_domain) uba_filter_one(&cursor, &f->domain);
  uba_filter_one(&cursor, &f->bus);
  uba_filter_one(&cursor, &f->slot);
  uba_filter_one(&cursor, &f->func);
  return nullptr;
}

const char *pci_filter_parse_id(pci_filter *f, const char *s) {
  const char *cursor = s;
  uba_filter_one(&cursor, &f->vid);
  uba_filter_one(&cursor, &f->did);
  return nullptr;
}

int pci_filter_match(const pci_filter *f, const pci_dev *dev) {
  auto matches = [](int field, int value) { return field == -1 || field == value; };
  return matches(f->vid, dev->vendor_id) && matches(f->did, dev->device_id) && matches(f->domain, dev->domain) &&
         matches(f->bus, dev->bus) && matches(f->slot, dev->dev) && matches(f->func, dev->func);
}

void uba_make_filter(uba_criteria_type_t type, const char *text, pci_filter *f) {
  f->vid = f->did = f->domain = f->bus = f->slot = f->func = -1;
  if (type == PCI_SELECT_ID)
    pci_filter_parse_id(f, text);
  else if (type == PCI_SELECT_SLOT)
    pci_filter_parse_slot(f, text);
}

int uba_generation(uint16_t vendor_id, uint16_t device_id, int rev) {
  if (vendor_id != ULVE_VENDOR_ID && vendor_id != ALT_VENDOR_ID) return 0;
  if (device_id == NIC_10G_DEVICE_ID || device_id == NIC_10G_B_DEVICE_ID) return UBA_ZE;
  if (device_id != NIC_KAVI_DEVICE_ID) return 0;
  // Earlier boards share one device id; the revision tells their generation.
  switch (rev) {
    case 1: return UBA_K4;
    case 3: return UBA_PCI64;
    case 4:
    case 5:
    case 6: return UBA_KX;
    case 7: return UBA_ZE;
    default: return UBA_UNKNOWN;
  }
}

int uba_nic_generation(pci_dev *dev) {
  bool rev_tells = (dev->vendor_id == ULVE_VENDOR_ID || dev->vendor_id == ALT_VENDOR_ID) &&
                   dev->device_id == NIC_KAVI_DEVICE_ID;
  return uba_generation(dev->vendor_id, dev->device_id, rev_tells ? (int)pci_read_byte(dev, 8) : 0);
}

void uba_select(uba_criteria_type_t type, uba_criteria_t criteria, pci_dev_t **devsp, int *nump) {
  bool by_text = type == PCI_SELECT_SLOT || type == PCI_SELECT_ID;
  handle_error(by_text && criteria.str == nullptr, "uba_select: no %s text to select by\n",
               type == PCI_SELECT_SLOT ? "slot" : "id");
  pci_scan_bus(pci_alloc());
  pci_filter filter;
  uba_make_filter(type, by_text ? criteria.str : nullptr, &filter);
  pci_dev_t *devs = nullptr;
  int n = 0;
  for (pci_dev *d = uba_pci.pci->devices; d; d = d->next) {
    bool selected =
        type == PCI_SELECT_ULVE_GENERATION ? (uba_nic_generation(d) & criteria.mask) != 0 : pci_filter_match(&filter, d);
    if (!selected) continue;
    devs = static_cast<pci_dev_t *>(uba_xrealloc(devs, (n + 1) * sizeof *devs));
    devs[n++] = d;
  }
  *devsp = devs;
  *nump = n;
}
