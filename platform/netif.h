// Network interfaces as the kernel reports them: how many there are and the
// hardware address of each, by platform index (0 up to the count - 1).
#pragma once

#include <cstddef>

constexpr long interface_count_call = 106000;
constexpr long interface_address_call = 106009;
constexpr size_t hardware_address_size = 6;

// The number of network interfaces; a negative value when unknown.
long interface_count();
// Writes the hardware address of interface index, first byte first, into
// address (length bytes, at least hardware_address_size). Non-negative on
// success, negative when the interface has no such address or is gone.
long interface_address(long index, unsigned char *address, size_t length);
