#include "config/client_config.h"

// Placeholder until the configuration lands.
void SaveGameCenterKeys() {}
