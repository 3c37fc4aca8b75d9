#include "agent/sources.h"

#include <cstdio>
#include <cstring>

#include "agent/http.h"

char *find_metadata(const search_options *options, const char **label,
                    char directory[source_dir_size]) {
    directory[0] = '\0';
    if (options->source) {
        // A given directory replaces the automatic search.
        snprintf(directory, source_dir_size, "%s", options->source);
        char *found = config_file(directory, "meta_data.json");
        if (found) {
            *label = "config-drive";
            return found;
        }
        directory[0] = '\0';
    }
    return nullptr;
}

char *fetch_document(const search_options *options, const char *label,
                     const char *directory, const char *name) {
    if (strcmp(label, "http") == 0) return http_get(options->base_url, name);
    return config_file(directory, name);
}
