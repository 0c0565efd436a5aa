#include "../platform.h"

#include <stdlib.h>
#include <string.h>

// The C runtime's getenv hands out the environment in the ANSI code page,
// where characters it cannot hold become '?': two different non-ASCII
// passwords of one length would then compare equal. The values are read as
// UTF-16 instead and handed out as UTF-8, converted once per name.

#define ENV_SLOTS 16

typedef struct env_slot {
    const char *name;
    char *value;
} env_slot;

static env_slot g_env[ENV_SLOTS];

static char *read_utf8(const char *name)
{
    wchar_t wname[64];
    size_t n = strlen(name);
    if (n >= sizeof wname / sizeof wname[0])
        return NULL;
    for (size_t i = 0; i <= n; i++)
        wname[i] = (unsigned char)name[i];
    SetLastError(0);
    DWORD len = GetEnvironmentVariableW(wname, NULL, 0);
    if (len == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return NULL;
    wchar_t *wide = (wchar_t *)calloc(len + 1, sizeof(wchar_t));
    if (!wide)
        return NULL;
    DWORD got = len ? GetEnvironmentVariableW(wname, wide, len) : 0;
    wide[got < len ? got : 0] = 0;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    char *value = bytes > 0 ? (char *)malloc((size_t)bytes) : NULL;
    if (value)
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, value, bytes, NULL, NULL);
    free(wide);
    return value;
}

const char *plat_getenv(const char *name)
{
    for (int i = 0; i < ENV_SLOTS; i++) {
        if (!g_env[i].name) {
            g_env[i].name = name;
            g_env[i].value = read_utf8(name);
            return g_env[i].value;
        }
        if (strcmp(g_env[i].name, name) == 0)
            return g_env[i].value;
    }
    return read_utf8(name);
}
