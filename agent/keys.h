// SSH public keys for root: the managed key list and the keys-file merge.
#pragma once

#include <cstddef>

#include "agent/json.h"

// Offers a text (possibly several lines) to the key list.
void add_key(const char *value);
// 1 when the LF-separated list holds a line with line's key identity.
int contains_key(const char *list, const char *line);
size_t key_identity_length(const char *line);
// Offers the keys of "public_keys" and "keys" of meta_data.json (object 0).
void collect_metadata_keys(const json_doc *doc);
// Merges the key list into the keys file and writes both key files.
// 0 on success; -1 when the run must end with status 1 (any message has
// been printed).
int merge_keys(const char *output_dir, const char *keys_file);
