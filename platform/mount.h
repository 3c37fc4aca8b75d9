// Mounting file systems by the names our own kernel uses for them.
#pragma once

// mount(2) of device on target with no mount data. type is our kernel's
// name ("isofs", "fat32"); a kernel that does not know that name (ENODEV)
// is asked once more under its Linux name ("iso9660", "vfat").
// 0, or -1 with errno set.
int platform_mount(const char *device, const char *target, const char *type,
                   unsigned long flags);
