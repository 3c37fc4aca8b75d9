// Preloaded into seedcfg by the drive-search tests: the machine's kernel
// has no ISO 9660 or FAT driver, so mount(2) is answered here instead.
//
//   FAKE_MOUNT_LOG     every attempt is appended as
//                      "device target type flags data" (flags in hex,
//                      data "-" when null); umount calls as "umount target"
//   FAKE_MOUNT_DRIVES  "device:type:directory,..." the devices that hold a
//                      file system of the given type; mounting one with that
//                      type bind-mounts the directory on the target
//   FAKE_MOUNT_KERNEL  "linux" (default) knows "iso9660" and "vfat";
//                      "own" knows "isofs" and "fat32"
//
// A type the kernel does not know fails with ENODEV, a device that does not
// hold that type with EINVAL, as the real kernel answers.
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void record(const char *line) {
    const char *log = getenv("FAKE_MOUNT_LOG");
    if (!log) return;
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t n = write(fd, line, strlen(line));
    (void)n;
    close(fd);
}

bool known_type(const char *type) {
    const char *kernel = getenv("FAKE_MOUNT_KERNEL");
    bool own = kernel && strcmp(kernel, "own") == 0;
    if (!type) return false;
    if (own) return strcmp(type, "isofs") == 0 || strcmp(type, "fat32") == 0;
    return strcmp(type, "iso9660") == 0 || strcmp(type, "vfat") == 0;
}

// The directory that stands for device when it holds type, or false.
bool find_drive(const char *device, const char *type, char *directory, size_t size) {
    const char *drives = getenv("FAKE_MOUNT_DRIVES");
    if (!drives || !device) return false;
    char copy[4096];
    snprintf(copy, sizeof copy, "%s", drives);
    char *save = nullptr;
    for (char *entry = strtok_r(copy, ",", &save); entry; entry = strtok_r(nullptr, ",", &save)) {
        char *first = strchr(entry, ':');
        char *second = first ? strchr(first + 1, ':') : nullptr;
        if (!second) continue;
        *first = '\0';
        *second = '\0';
        if (strcmp(entry, device) != 0 || strcmp(first + 1, type) != 0) continue;
        snprintf(directory, size, "%s", second + 1);
        return true;
    }
    return false;
}

long real_mount(const char *source, const char *target, const char *type, unsigned long flags,
                const void *data) {
    return syscall(SYS_mount, source, target, type, flags, data);
}

}  // namespace

extern "C" int mount(const char *source, const char *target, const char *type,
                     unsigned long flags, const void *data) {
    char line[1024];
    snprintf(line, sizeof line, "%s %s %s %#lx %s\n", source ? source : "-",
             target ? target : "-", type ? type : "-", flags,
             data ? static_cast<const char *>(data) : "-");
    record(line);
    if (!known_type(type)) {
        errno = ENODEV;
        return -1;
    }
    char directory[1024];
    if (!find_drive(source, type, directory, sizeof directory)) {
        errno = EINVAL;
        return -1;
    }
    if (real_mount(directory, target, nullptr, MS_BIND, nullptr) != 0) return -1;
    if ((flags & MS_RDONLY) &&
        real_mount(nullptr, target, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return -1;
    return 0;
}

extern "C" int umount(const char *target) {
    char line[1024];
    snprintf(line, sizeof line, "umount %s\n", target);
    record(line);
    return static_cast<int>(syscall(SYS_umount2, target, 0));
}

extern "C" int umount2(const char *target, int flags) {
    char line[1024];
    snprintf(line, sizeof line, "umount %s\n", target);
    record(line);
    return static_cast<int>(syscall(SYS_umount2, target, flags));
}
