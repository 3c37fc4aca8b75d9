// A stand-in for the platform's interface calls that unit tests fill in.
#pragma once

#include <vector>

namespace fake_platform {

struct nic {
    unsigned char address[6];
    bool fails;  // its address query answers negative
};

extern std::vector<nic> nics;  // by platform index
extern long count;             // what interface_count answers
extern int count_calls, address_calls;

}  // namespace fake_platform
