// The "[Network]" section and the name servers from network_data.json.
#pragma once

#include "agent/json.h"

// Fills network and dns from a parsed network_data.json; may set failed.
void network_step(const json_doc *doc);
