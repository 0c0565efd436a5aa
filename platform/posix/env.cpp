#include "../platform.h"

#include <stdlib.h>

const char *plat_getenv(const char *name)
{
    return getenv(name);
}
