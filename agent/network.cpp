#include "agent/network.h"

void network_step(const json_doc *) {}
