/* Shared by the test-bed tools: registry paths given on the command line as
 * ROOT\sub\key, with the root's short or long name (HKLM or
 * HKEY_LOCAL_MACHINE, in any letter case). */
#ifndef KORVANTA_WINEBED_REGISTRY_ROOT_H
#define KORVANTA_WINEBED_REGISTRY_ROOT_H

#include <windows.h>

#include <string.h>

struct RootName {
  const char* shortName;
  const char* longName;
  HKEY key;
};

static const struct RootName rootNames[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

/* Returns the root key, or NULL for an unknown root; *subkeyPath is what
 * follows the root's backslash ("" for a root alone). */
static inline HKEY ParseRegistryPath(const char* path, const char** subkeyPath) {
  const char* separator = strchr(path, '\\');
  const size_t rootLength = separator != NULL ? (size_t)(separator - path) : strlen(path);
  size_t i;
  *subkeyPath = separator != NULL ? separator + 1 : "";
  for (i = 0; i < sizeof(rootNames) / sizeof(rootNames[0]); ++i) {
    const struct RootName* root = &rootNames[i];
    if ((strlen(root->shortName) == rootLength && !_strnicmp(path, root->shortName, rootLength)) ||
        (strlen(root->longName) == rootLength && !_strnicmp(path, root->longName, rootLength))) {
      return root->key;
    }
  }
  return NULL;
}

#endif
