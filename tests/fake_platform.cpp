#include "tests/fake_platform.h"

#include <cstring>

#include "platform/netif.h"

namespace fake_platform {
std::vector<nic> nics;
long count;
int count_calls, address_calls;
}  // namespace fake_platform

using namespace fake_platform;

long interface_count() {
    count_calls++;
    return count;
}

long interface_address(long index, unsigned char *address, size_t length) {
    address_calls++;
    if (index < 0 || static_cast<size_t>(index) >= nics.size() || length < hardware_address_size ||
        nics[static_cast<size_t>(index)].fails)
        return -1;
    memcpy(address, nics[static_cast<size_t>(index)].address, hardware_address_size);
    return 0;
}
