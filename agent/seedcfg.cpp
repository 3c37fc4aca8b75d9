// seedcfg: provisions the guest once at boot from the instance metadata.
// Everything is decided before anything is written; then the settings file,
// the key files, the password hash and the status record are written in
// that order under the output directory.
#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "agent/agent.h"
#include "agent/json.h"
#include "agent/keys.h"
#include "agent/network.h"
#include "agent/sources.h"
#include "agent/userdata.h"
#include "servicelog/servicelog.h"

namespace {

struct run_options {
    int config_only = 0;
    const char *source = nullptr;
    const char *base_url = "http://169.254.169.254";
    const char *output = "/etc/cloud";
    const char *keys_file = "/root/.ssh/authorized_keys";
};

// The longest name formed under the output directory.
constexpr std::string_view longest_output_name = "/authorized_keys.managed";

// 0, or 2 for a bad command line (nothing printed).
int parse_command_line(int argc, char **argv, run_options *options) {
    for (int i = 1; i < argc; i++) {
        std::string_view name = argv[i];
        if (name == "--config-only") {
            options->config_only = 1;
            continue;
        }
        if (i + 1 >= argc) return 2;
        const char *given = argv[++i];
        size_t length = strlen(given);
        if (name == "--source") {
            if (length >= source_dir_size) return 2;
            options->source = given;
        } else if (name == "--metadata-url") {
            options->base_url = given;
        } else if (name == "--output") {
            if (length + longest_output_name.size() >= path_size) return 2;
            options->output = given;
        } else if (name == "--keys-file") {
            if (length >= path_size) return 2;
            options->keys_file = given;
        } else if (name == "--test-mac") {
            test_mac = given;
        } else {
            return 2;
        }
    }
    return 0;
}

// The plain password never outlives the run, however it ends.
int finish(int status) {
    explicit_bzero(password, sizeof password);
    return status;
}

void output_path(char (&path)[path_size], const char *output, const char *name) {
    snprintf(path, sizeof path, "%s/%s", output, name);
}

void assemble_settings(char *settings) {
    if (usable_host_name(hostname)) {
        append(settings, settings_size, "[System]\nHostname = ");
        append(settings, settings_size, hostname);
        append(settings, settings_size, "\n");
    }
    append(settings, settings_size, network);
    if (dns[0]) {
        append(settings, settings_size, "[DNS]\n");
        append(settings, settings_size, dns);
    }
    if (password_hash[0] || keys[0]) {
        append(settings, settings_size,
               "[SSH]\nEnabled = 1\nLogin = root\nPassword = \nPasswordHash = ");
        append(settings, settings_size, password_hash);
        append(settings, settings_size, "\n");
    }
}

// A zeroed record from the heap with text parsed into it; null when there
// is no memory or the text is not one JSON value. The caller frees it.
json_doc *parse_document(const char *text) {
    json_doc *doc = static_cast<json_doc *>(calloc(1, sizeof(json_doc)));
    if (doc && json_parse(doc, text, strlen(text)) != 0) {
        free(doc);
        return nullptr;
    }
    return doc;
}

void invalid_metadata() {
    fputs("[seedcfg] invalid metadata; keeping local configuration\n", stderr);
}

}  // namespace

int main(int argc, char **argv) {
    // Each document is read into a buffer of 256 KiB. Taken from the heap and
    // kept there between documents instead of being mapped and unmapped each
    // time, they cost no system calls and no fresh pages after the first.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 4 << 20);
    mallopt(M_TOP_PAD, 1 << 20);
    run_options options;
    if (argc == 1) {
        // Started by the boot sequence: everything it prints goes to the
        // service log.
        service_log_start("seedcfg");
    } else if (argc > 1 && parse_command_line(argc, argv, &options) != 0) {
        return 2;
    }

    search_options search{options.config_only, options.source, options.base_url};
    const char *label = nullptr;
    char directory[source_dir_size] = {};
    char *metadata = find_metadata(&search, &label, directory);
    if (!metadata) {
        fputs("[seedcfg] metadata unavailable; keeping local configuration\n", stdout);
        return 0;
    }

    json_doc *doc = parse_document(metadata);
    if (!doc || doc->tokens[0].type != JSON_OBJECT) {
        invalid_metadata();
        free(doc);
        free(metadata);
        return 1;
    }
    // A missing or overlong member leaves an empty field or a prefix.
    text(doc, 0, "uuid", instance, sizeof instance);
    text(doc, 0, "hostname", hostname, sizeof hostname);
    collect_metadata_keys(doc);
    free(doc);
    free(metadata);
    if (!simple(instance)) {
        invalid_metadata();
        return 1;
    }

    char *network_data = fetch_document(&search, label, directory, "network_data.json");
    char *user_data = fetch_document(&search, label, directory, "user_data");
    if (network_data) {
        json_doc *net = parse_document(network_data);
        if (!net)
            failed = 1;
        else
            network_step(net);
        free(net);
    }
    if (user_data) {
        // The text may carry root's password: wipe it before it goes.
        size_t length = strlen(user_data);
        user_data_step(user_data);
        explicit_bzero(user_data, length);
    }
    free(network_data);
    free(user_data);
    if (failed) {
        fputs("[seedcfg] configuration rejected\n", stderr);
        return finish(1);
    }

    mkdir(options.output, 0700);
    if (password_hash_step(options.output) != 0) return finish(1);

    char settings[settings_size] = {};
    assemble_settings(settings);
    if (failed) return finish(1);

    char path[path_size];
    mkdir(options.output, 0700);
    output_path(path, options.output, "settings.ini");
    if (write_file(path, settings) != 0) {
        fprintf(stderr, "[seedcfg] settings: %s\n", strerror(errno));
        return finish(1);
    }
    if (merge_keys(options.output, options.keys_file) != 0) return finish(1);
    if (password_hash[0]) {
        output_path(path, options.output, "password.hash");
        if (write_file(path, password_hash) != 0) return finish(1);
    }
    explicit_bzero(password, sizeof password);

    char status[64 + 2 * field_size];
    snprintf(status, sizeof status, "source=%s\ninstance=%s\nexperimental=true\n", label, instance);
    output_path(path, options.output, "status");
    if (write_file(path, status) != 0) return 1;
    printf("[seedcfg] %s configuration ready for instance %s\n", label, instance);
    return 0;
}
