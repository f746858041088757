#include "host/version.h"

const char *host_version()
{
    return HALVERD_VERSION;
}
