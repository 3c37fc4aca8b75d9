// Run-wide state of seedcfg and the small utilities that its steps share.
#pragma once

#include <cstddef>

constexpr size_t field_size = 256;        // instance, hostname, password, hash
constexpr size_t network_size = 8192;
constexpr size_t dns_size = 2048;
constexpr size_t keys_size = 32768;
constexpr size_t path_size = 512;         // every path formed under a directory
constexpr size_t document_limit = 262144; // longest document read whole
constexpr size_t settings_size = 16384;

// Process-wide, zero at start, never freed.
extern int failed;  // sticky: once set the configuration is refused
extern char instance[field_size];
extern char hostname[field_size];
extern char password[field_size];
extern char password_hash[field_size];
extern char network[network_size];
extern char dns[dns_size];
extern char keys[keys_size];
extern const char *test_mac;  // --test-mac, or null

// Metadata versions in order of preference.
extern const char *const metadata_versions[6];

// Whole file as a new NUL-terminated text, or null (missing, unreadable,
// or longer than document_limit) with errno saying why: ENOENT for a
// missing file, EFBIG for an oversized one. The caller frees it.
char *read_file(const char *path);
// First readable "%s/openstack/%s/%s" over the version list, or null.
char *config_file(const char *directory, const char *name);
// Replaces path's content with text, mode 0600, and syncs it and its
// directory to the disk; 0 or -1. -1 with the new content in place when
// only the directory's sync failed.
int write_file(const char *path, const char *text);
// Appends text to a NUL-terminated buffer; -1 and failed set when it does
// not fit (a buffer of capacity N holds N-1 bytes of content).
int append(char *buffer, size_t capacity, const char *text);
// Strips whitespace and one pair of enclosing quotes, in place.
char *trim(char *text);
// 1 when text is non-empty and holds none of "\r\n[]=;".
int simple(const char *text);
// 1 when text is simple and holds no control character (C0, DEL, or C1 in
// UTF-8): a host name that may stand in the settings file.
int usable_host_name(const char *text);
