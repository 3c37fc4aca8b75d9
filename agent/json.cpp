// Placeholder until the reader lands.
#include "agent/json.h"
