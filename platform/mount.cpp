#include "platform/mount.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

struct type_alias {
    std::string_view own;
    const char *linux_name;
};

constexpr type_alias aliases[] = {
    {"isofs", "iso9660"},
    {"fat32", "vfat"},
};

}  // namespace

int platform_mount(const char *device, const char *target, const char *type,
                   unsigned long flags) {
    if (mount(device, target, type, flags, nullptr) == 0) return 0;
    if (errno != ENODEV) return -1;
    for (const type_alias &alias : aliases) {
        if (alias.own == type) return mount(device, target, alias.linux_name, flags, nullptr);
    }
    errno = ENODEV;
    return -1;
}
