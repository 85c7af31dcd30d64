// The processor's memory-mapped special registers by name, and the names
// of the interrupt status bits.

#include <cerrno>
#include <cstring>

#include "tckavi.h"

// Several names share an address: views of one register, or the words
// pushed through one register in turn.
const special_reg kavi_specials[] = {
    {"CRC32", 4, 0xfffffe88},
    {"CRC32_BYTE", 1, 0xfffffe92},
    {"CRC32_HALF", 2, 0xfffffe98},
    {"CRC32_WORD", 4, 0xfffffea0},
    {"COPY", 4, 0xfffffe68},
    {"COPY_FROM", 4, 0xfffffe68},
    {"COPY_SIZE", 4, 0xfffffe68},
    {"COPY_TO", 4, 0xfffffe68},
    {"COPY_STATE", 1, 0xfffffe73},
    {"CRC32_CONFIG", 1, 0xfffffe7a},
    {"COPY_BLOCK", 4, 0xfffffe80},
    {"IT0", 4, 0xffffffa8},
    {"IT1", 4, 0xffffffb0},
    {"IT2", 4, 0xffffffb8},
    {"IT3", 4, 0xffffffc0},
    {"CPUC", 4, 0xffffffc8},
    {"RTC", 4, 0xffffffd0},
    {"LED", 1, 0xffffffd8},
    {"MDI", 1, 0xffffffe1},
    {"PORT_ENABLE", 1, 0xffffffe8},
    {"REBOOT_STATUS", 4, 0xfffffff0},
    {"P0_SEND", 4, 0xfffffe30},
    {"P0_SEND_POINTER", 4, 0xfffffe30},
    {"P0_SEND_LENGTH", 4, 0xfffffe30},
    {"P0_SEND_COUNT", 2, 0xfffffe3a},
    {"P0_RECV_POINTER", 2, 0xfffffe00},
    {"P0_RECV_COUNT", 2, 0xfffffe02},
    {"P0_RECV_SNAPSHOT", 4, 0xfffffe00},
    {"P0_DROP_COUNT", 4, 0xfffffe08},
    {"P0_RECV_LIMIT", 2, 0xfffffe12},
    {"P0_A_RECV_POINTER", 2, 0xfffffe18},
    {"P0_A_RECV_COUNT", 2, 0xfffffe1a},
    {"P0_A_RECV_SNAPSHOT", 4, 0xfffffe18},
    {"P0_A_DROP_COUNT", 4, 0xfffffe20},
    {"P0_A_RECV_LIMIT", 2, 0xfffffe28},
    {"PCIE_SEND", 4, 0xfffffe58},
    {"PCIE_SEND_POINTER", 4, 0xfffffe58},
    {"PCIE_SEND_LENGTH", 4, 0xfffffe58},
    {"PCIE_SEND_COUNT", 2, 0xfffffe60},
    {"PCIE_RECV_POINTER", 2, 0xfffffe40},
    {"PCIE_RECV_COUNT", 2, 0xfffffe42},
    {"PCIE_RECV_SNAPSHOT", 4, 0xfffffe40},
    {"PCIE_DROP_COUNT", 4, 0xfffffe48},
    {"PCIE_RECV_LIMIT", 2, 0xfffffe52},
    {"ISR", 4, 0xfffffff8},
    {"PCIE_FC_VC0_P_LIMIT", 4, 0xfffffee0},
    {"PCIE_FC_VC0_P_CONSUMED", 4, 0xfffffee8},
    {"PCIE_FC_VC0_P_REQUEST", 2, 0xfffffef2},
    {"PCIE_FC_VC0_NP_LIMIT", 4, 0xfffffef8},
    {"PCIE_FC_VC0_NP_CONSUMED", 4, 0xffffff00},
    {"PCIE_FC_VC0_NP_REQUEST", 2, 0xffffff0a},
    {"PCIE_FC_VC0_CPL_LIMIT", 4, 0xffffff10},
    {"PCIE_FC_VC0_CPL_CONSUMED", 4, 0xffffff18},
    {"PCIE_FC_VC0_CPL_REQUEST", 2, 0xffffff22},
    {"PCIE_FC_VC1_P_LIMIT", 4, 0xffffff28},
    {"PCIE_FC_VC1_P_CONSUMED", 4, 0xffffff30},
    {"PCIE_FC_VC1_P_REQUEST", 2, 0xffffff3a},
    {"PCIE_FC_VC1_NP_LIMIT", 4, 0xffffff40},
    {"PCIE_FC_VC1_NP_CONSUMED", 4, 0xffffff48},
    {"PCIE_FC_VC1_NP_REQUEST", 2, 0xffffff52},
    {"PCIE_FC_VC1_CPL_LIMIT", 4, 0xffffff58},
    {"PCIE_FC_VC1_CPL_CONSUMED", 4, 0xffffff60},
    {"PCIE_FC_VC1_CPL_REQUEST", 2, 0xffffff6a},
    {"PISR", 4, 0xffffff70},
    {"PISR_MASK", 4, 0xffffff78},
    {"PCIE_SEND_DLLP", 4, 0xffffff80},
    {"PCIE_FC_UPDATE", 4, 0xffffff88},
    {"PCIE_DLL_CMD", 4, 0xffffff90},
    {"PCIE_SEQUENCE", 2, 0xffffff98},
    {"PCIE_ACK_NAK", 2, 0xffffff9a},
    {"PCIE_SEND_CHECKSUM", 2, 0xffffffa0},
    {"DISPATCH_STATE", 4, 0xfffffea8},
    {"DISPATCH_INDEX", 2, 0xfffffea8},
    {"DISPATCH_ISR_ON", 4, 0xfffffeb0},
    {"DISPATCH_ISR_OFF", 4, 0xfffffeb8},
    {"DISPATCH_STATE_ON", 4, 0xfffffec0},
    {"DISPATCH_STATE_OFF", 4, 0xfffffec8},
    {"DISPATCH_CONFIG", 4, 0xfffffed0},
    {"JTAG_MASTER", 4, 0xfffffed8},
    {nullptr, 0, 0},
};

// Entry k names bit k of ISR and of PISR; "" where the bit has no name.
const char *const isr_bits[32] = {
    "",
    "",
    "MEMORY_INT",
    "SEND_BUFFER_PARITY_INT",
    "PCIE_BUFFER_PARITY_INT",
    "P0_BUFFER_PARITY_INT",
    "SRAM_PARITY_INT",
    "WAKE_INT",
    "TIME3_INT",
    "TIME2_INT",
    "TIME1_INT",
    "TIME0_INT",
    "COPY_BUSY",
    "PCIE_EVENT",
    "PCIE_DLL_BUSY",
    "PCIE_FC_VC1_CPL_READY",
    "PCIE_FC_VC1_NP_READY",
    "PCIE_FC_VC1_P_READY",
    "PCIE_FC_VC0_CPL_READY",
    "PCIE_FC_VC0_NP_READY",
    "PCIE_FC_VC0_P_READY",
    "PCIE_PACKET_ACKD",
    "PCIE_PACKET_RCVD",
    "PCIE_PACKET_SENT",
    "PCIE_LINK_DOWN_INT",
    "P0_TX_STOPPED",
    "P0_RX_STOPPED",
    "P0_A_PACKET_RCVD",
    "P0_PACKET_HEAD",
    "P0_PACKET_RCVD",
    "P0_PACKET_SENT",
    "P0_LINK_DOWN_INT",
};

const char *const pisr_bits[32] = {
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "PCIE_WRITE_QUEUE_PARITY_ERROR",
    "PCIE_WRITE_QUEUE_OVERFLOW_ERROR",
    "PCIE_OVERFLOW_ERROR",
    "PCIE_POISONED_TLP",
    "PCIE_INACTIVE_TAG_ERROR",
    "PCIE_LOCKED_COMPLETION_ERROR",
    "PCIE_BAD_REQUESTER_ID_ERROR",
    "PCIE_MALFORMED_ERROR",
    "PCIE_ECRC_ERROR",
    "PCIE_BAD_TLP_ERROR",
    "PCIE_DLL_PROTOCOL_ERROR",
    "PCIE_BAD_DLLP_ERROR",
    "PCIE_RECEIVER_ERROR",
    "PCIE_VC1_MEMORY_WRITE_RCVD",
    "PCIE_VC0_MEMORY_WRITE_RCVD",
    "PCIE_GOOD_COMPLETION_RCVD",
    "PCIE_DUPLICATE_TLP_WARNING",
    "PCIE_RECEIVER_DROP_WARNING",
    "PCIE_OTHER_DLLP_RCVD",
    "PCIE_NAK_DLLP_RCVD",
    "PCIE_ACK_DLLP_RCVD",
    "PCIE_FC_DLLP_RCVD",
};

namespace {

const special_reg *find_register(const char *name) {
  if (!name)
    return nullptr;
  for (const special_reg *r = kavi_specials; r->name; r++)
    if (strcmp(r->name, name) == 0)
      return r;
  return nullptr;
}

} // namespace

int tckavi_kavi_write_register(board *bp, const char *name, unsigned data) {
  const special_reg *r = find_register(name);
  if (!r)
    return EINVAL;
  switch (r->bytes) {
  case 1:
    return tckavi_kavi_write_byte(bp, r->addr, static_cast<int>(data));
  case 2:
    return tckavi_kavi_write_half(bp, r->addr, static_cast<int>(data));
  default:
    return tckavi_kavi_write_word(bp, r->addr, data);
  }
}

int tckavi_kavi_read_register(board *bp, const char *name, unsigned *value) {
  const special_reg *r = find_register(name);
  if (!r)
    return EINVAL;
  int status;
  if (r->bytes == 1) {
    unsigned char byte = 0;
    if ((status = tckavi_kavi_read_byte(bp, r->addr, &byte)) == 0)
      *value = byte;
  } else if (r->bytes == 2) {
    unsigned short half = 0;
    if ((status = tckavi_kavi_read_half(bp, r->addr, &half)) == 0)
      *value = half;
  } else {
    status = tckavi_kavi_read_word(bp, r->addr, value);
  }
  return status;
}
