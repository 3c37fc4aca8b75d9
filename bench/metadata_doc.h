// The benchmarks' documents: the samples in examples/, and a realistic large
// meta_data.json, made the same way on every run: the usual
// instance members, a "public_keys" map of RSA 4096-bit keys (about 740 bytes
// each) and a short "keys" array. The record holds 512 tokens; every map
// entry takes two and every "keys" entry seven, so hundreds of keys fit only
// in the map.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/agent.h"

namespace bench {

// A sample document of examples/metadata/openstack/latest, read as the agent
// reads it (empty when it cannot be read). SOURCE_DIR comes from the build.
inline std::string sample(const char *name) {
    std::string path = std::string(SOURCE_DIR) + "/examples/metadata/openstack/latest/" + name;
    char *text = read_file(path.c_str());
    std::string s = text ? text : "";
    free(text);
    return s;
}

constexpr int map_keys = 200;    // entries of "public_keys"
constexpr int array_keys = 6;    // entries of "keys"

inline std::string rsa_key(int n) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint64_t x = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(n + 1);
    std::string key = "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAACAQ";
    for (int i = 0; i < 678; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        key += alphabet[x % 64];
    }
    key += "== user" + std::to_string(n) + "@host" + std::to_string(n % 17);
    return key;
}

inline std::string large_meta_data() {
    std::string s =
        "{\n  \"uuid\": \"8d2f6a41-3c7e-4b8a-9f10-2e5d7c9a1b34\",\n"
        "  \"name\": \"node-1\",\n  \"hostname\": \"node-1\",\n"
        "  \"availability_zone\": \"nova\",\n  \"launch_index\": 0,\n"
        "  \"project_id\": \"5c0e3e9b2d8a4f6c9b1e7a2d4f8c6e10\",\n"
        "  \"meta\": {\"role\": \"edge\", \"owner\": \"ops\"},\n"
        "  \"public_keys\": {\n";
    for (int i = 0; i < map_keys; i++) {
        s += "    \"key-" + std::to_string(i) + "\": \"" + rsa_key(i) + "\"";
        s += i + 1 < map_keys ? ",\n" : "\n";
    }
    s += "  },\n  \"keys\": [\n";
    for (int i = 0; i < array_keys; i++) {
        s += "    {\n      \"name\": \"key-" + std::to_string(i) +
             "\",\n      \"type\": \"ssh\",\n      \"data\": \"" + rsa_key(i) + "\"\n    }";
        s += i + 1 < array_keys ? ",\n" : "\n";
    }
    s += "  ],\n  \"devices\": []\n}\n";
    return s;
}

}  // namespace bench
