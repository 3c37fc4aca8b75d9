#include "agent/keys.h"

void add_key(const char *) {}
int contains_key(const char *, const char *) { return 0; }
size_t key_identity_length(const char *) { return 0; }
void collect_metadata_keys(const json_doc *) {}
int merge_keys(const char *, const char *) { return 0; }
