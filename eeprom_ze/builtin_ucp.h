// The control programs built into nicflash: kcoff object files made by the
// firmware build, embedded as byte arrays (writable: they are parsed and
// relocated in place).
#pragma once

#include <cstdint>

extern uint8_t default_ucp1[];
extern uint32_t default_ucp1_len;
extern uint8_t burner_ucp[];
extern uint32_t burner_ucp_len;
