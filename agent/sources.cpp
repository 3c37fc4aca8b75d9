// Where the instance metadata comes from: a given directory, a file system
// already mounted under /mnt, a configuration drive mounted here, or at
// last the metadata service, polled for a bounded time.
#include "agent/sources.h"

#include <glob.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "agent/http.h"
#include "platform/mount.h"

namespace {

constexpr const char *metadata_name = "meta_data.json";
constexpr const char *device_patterns[] = {"/dev/cd?", "/dev/sd*", "/dev/vd*"};
// Our kernel's names for ISO 9660 and FAT, in the order tried.
constexpr const char *drive_types[] = {"isofs", "fat32"};
constexpr long long poll_ms = 8000;
constexpr useconds_t poll_pause_us = 200000;

void set_directory(char directory[source_dir_size], const char *path) {
    snprintf(directory, source_dir_size, "%s", path);
}

// The first match of "/mnt/*", in name order, whose openstack tree holds
// the document.
char *search_mounted(char directory[source_dir_size]) {
    glob_t matches{};
    char *found = nullptr;
    if (glob("/mnt/*", 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc && !found; i++) {
            // A name that does not fit the field is passed over, not cut.
            if (strlen(matches.gl_pathv[i]) >= source_dir_size) continue;
            found = config_file(matches.gl_pathv[i], metadata_name);
            if (found) set_directory(directory, matches.gl_pathv[i]);
        }
    }
    globfree(&matches);
    return found;
}

// Mounts every block device that matches the patterns at the next
// "/mnt/cloud/drive%d" until one holds the document. Mounts stay in place,
// so the drive remains readable after the agent ends.
char *search_drives(char directory[source_dir_size]) {
    mkdir("/mnt/cloud", 0700);
    int drive = 0;
    for (const char *pattern : device_patterns) {
        glob_t matches{};
        if (glob(pattern, 0, nullptr, &matches) != 0) {
            globfree(&matches);
            continue;
        }
        char *found = nullptr;
        for (size_t i = 0; i < matches.gl_pathc && !found; i++) {
            const char *device = matches.gl_pathv[i];
            struct stat info{};
            if (stat(device, &info) != 0 || !S_ISBLK(info.st_mode)) continue;
            snprintf(directory, source_dir_size, "/mnt/cloud/drive%d", drive++);
            mkdir(directory, 0700);
            bool mounted = false;
            for (const char *type : drive_types) {
                if (platform_mount(device, directory, type, MS_RDONLY) == 0) {
                    mounted = true;
                    break;
                }
            }
            if (mounted) found = config_file(directory, metadata_name);
        }
        globfree(&matches);
        if (found) return found;
    }
    directory[0] = '\0';
    return nullptr;
}

// Asks the service until it answers or the time is up. The deadline is
// tested only after a failed request and its pause, so a service that
// never answers is given at least the whole period.
char *poll_service(const char *base_url) {
    long long deadline = monotonic_ms() + poll_ms;
    for (;;) {
        char *found = http_get(base_url, metadata_name);
        if (found) return found;
        usleep(poll_pause_us);
        if (monotonic_ms() >= deadline) return nullptr;
    }
}

}  // namespace

char *find_metadata(const search_options *options, const char **label,
                    char directory[source_dir_size]) {
    directory[0] = '\0';
    char *found = nullptr;
    if (options->source) {
        // A given directory replaces the automatic search.
        set_directory(directory, options->source);
        found = config_file(directory, metadata_name);
    } else {
        found = search_mounted(directory);
        if (!found) found = search_drives(directory);
    }
    if (found) {
        *label = "config-drive";
        return found;
    }
    directory[0] = '\0';
    if (options->config_only) return nullptr;
    found = poll_service(options->base_url);
    if (found) *label = "http";
    return found;
}

char *fetch_document(const search_options *options, const char *label,
                     const char *directory, const char *name) {
    if (strcmp(label, "http") != 0) return config_file(directory, name);
    // Only the service's 404 says that there is no such document. Taken for
    // absent, any other failure would leave out the keys, the password or
    // the network of a configured guest, and its files would lose them.
    bool not_found = false;
    char *document = http_get(options->base_url, name, &not_found);
    if (!document && !not_found) {
        fprintf(stderr, "[seedcfg] %s could not be fetched\n", name);
        failed = 1;
    }
    return document;
}
