// Preloaded into seedcfg by the drive-search tests: the machine's kernel
// has no ISO 9660 or FAT driver, so mount(2) is answered here instead.
//   FAKE_MOUNT_LOG     every call is appended as "device target type flags
//                      data" (flags in hex, data "-" when null)
//   FAKE_MOUNT_DRIVES  "device:type:directory,..." the devices that hold a
//                      file system of that type; mounting one with that type
//                      bind-mounts the directory on the target
//   FAKE_MOUNT_KERNEL  "linux" (default) knows "iso9660" and "vfat", "own"
//                      knows "isofs" and "fat32"
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
#include <string>

extern "C" int mount(const char *source, const char *target, const char *type,
                     unsigned long flags, const void *data) {
    const char *log = getenv("FAKE_MOUNT_LOG"), *kernel = getenv("FAKE_MOUNT_KERNEL");
    char line[1024];
    int length = snprintf(line, sizeof line, "%s %s %s %#lx %s\n", source, target, type, flags,
                          data ? static_cast<const char *>(data) : "-");
    int fd = log ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    if (fd >= 0) {
        ssize_t n = write(fd, line, static_cast<size_t>(length));
        (void)n;
        close(fd);
    }
    std::string t = type ? type : "";
    bool own = kernel && strcmp(kernel, "own") == 0;
    if (own ? t != "isofs" && t != "fat32" : t != "iso9660" && t != "vfat") {
        errno = ENODEV;
        return -1;
    }
    // The entry "source:type:directory" in the list of drives.
    const char *list = getenv("FAKE_MOUNT_DRIVES");
    std::string drives = "," + std::string(list ? list : "") + ",";
    std::string key = "," + std::string(source ? source : "") + ":" + t + ":";
    size_t at = drives.find(key);
    if (at == std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    at += key.size();
    std::string directory = drives.substr(at, drives.find(',', at) - at);
    if (syscall(SYS_mount, directory.c_str(), target, nullptr, MS_BIND, nullptr) != 0) return -1;
    if (flags & MS_RDONLY)
        return static_cast<int>(
            syscall(SYS_mount, nullptr, target, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
    return 0;
}
