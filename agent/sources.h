// Where the instance metadata comes from.
#pragma once

#include "agent/agent.h"

constexpr size_t source_dir_size = 256;

struct search_options {
    int config_only;
    const char *source;    // --source directory, or null
    const char *base_url;  // metadata service base address
};

// Finds meta_data.json: its text (caller frees) or null. On success *label
// is "config-drive" or "http" and directory holds the directory whose
// openstack tree held it (empty for the metadata service).
char *find_metadata(const search_options *options, const char **label,
                    char directory[source_dir_size]);

// A further document from the same source as meta_data.json, or null when
// it is absent. A fetch from the service that fails for any other reason
// than a 404 is reported and refuses the configuration (sets failed).
char *fetch_document(const search_options *options, const char *label,
                     const char *directory, const char *name);
