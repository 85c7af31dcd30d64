// Fenced accesses to device memory: BAR mappings and mapped configuration
// space. Every access has a full barrier before and after it, so the device
// sees the accesses one by one and in program order.
#pragma once

#include <cstdint>
#include <cstring>

inline void uba_mb() { __sync_synchronize(); }

template <class T>
inline T uba_mmio_read(const volatile void *addr) {
  uba_mb();
  T v = *static_cast<const volatile T *>(addr);
  uba_mb();
  return v;
}

template <class T>
inline void uba_mmio_write(volatile void *addr, T value) {
  uba_mb();
  *static_cast<volatile T *>(addr) = value;
  uba_mb();
}

// Big-endian 16- and 32-bit words of the processor's memory.
inline uint16_t uba_mmio_read_be16(const volatile void *addr) {
  return __builtin_bswap16(uba_mmio_read<uint16_t>(addr));
}
inline uint32_t uba_mmio_read_be32(const volatile void *addr) {
  return __builtin_bswap32(uba_mmio_read<uint32_t>(addr));
}
inline void uba_mmio_write_be16(volatile void *addr, uint16_t value) {
  uba_mmio_write<uint16_t>(addr, __builtin_bswap16(value));
}
inline void uba_mmio_write_be32(volatile void *addr, uint32_t value) {
  uba_mmio_write<uint32_t>(addr, __builtin_bswap32(value));
}
