// A stand-in for the platform's interface calls that unit tests fill in.
#pragma once

#include <cstddef>

namespace fake_platform {

constexpr size_t interface_slots = 8;

struct interface_entry {
    unsigned char address[6];
    bool fails;  // the address query of this interface answers negative
};

extern long count;  // what interface_count answers
extern interface_entry interfaces[interface_slots];
extern int count_calls;
extern int address_calls;

// No interfaces, no calls counted.
void reset();

}  // namespace fake_platform
