#pragma once

// Version of the player, as "MAJOR.MINOR.PATCH".
const char *host_version();
