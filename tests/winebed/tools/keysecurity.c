/* keysecurity.exe <output-file> <root\key>
 *
 * Writes the security descriptor of a registry key (owner, group and access
 * list, with the list's protection and inheritance flags) as one line of SDDL,
 * read from inside the Wine session: Wine keeps a key's access list only in
 * the server's memory. The tests compare it before and after a run.
 *
 * Exit code 0 when the line was written; 2 for bad arguments; 3 when the
 * descriptor could not be read or the output not written, with the error code
 * on standard error. */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <stdio.h>

#include "registry_root.h"

int main(int argc, char** argv) {
  /* The object names of the roots, in the order of rootNames. */
  static const char* const objectPrefixes[] = {"MACHINE\\", "CURRENT_USER\\", "CLASSES_ROOT\\", "USERS\\", NULL};
  const char* subkey = NULL;
  char objectName[1024];
  PSECURITY_DESCRIPTOR descriptor = NULL;
  char* text = NULL;
  DWORD error;
  HKEY root;
  FILE* out;
  size_t i;

  if (argc != 3 || (root = ParseRegistryPath(argv[2], &subkey)) == NULL) {
    fputs("usage: keysecurity.exe <output-file> <root\\key>\n", stderr);
    return 2;
  }
  for (i = 0; rootNames[i].key != root; ++i) {
  }
  if (objectPrefixes[i] == NULL) {
    fputs("keysecurity: no object name for that root\n", stderr);
    return 2;
  }
  _snprintf(objectName, sizeof(objectName), "%s%s", objectPrefixes[i], subkey);
  objectName[sizeof(objectName) - 1] = '\0';

  error = GetNamedSecurityInfoA(objectName, SE_REGISTRY_KEY,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION,
                                NULL, NULL, NULL, NULL, &descriptor);
  if (error != ERROR_SUCCESS) {
    fprintf(stderr, "keysecurity: GetNamedSecurityInfoA(%s) failed (error %lu)\n", objectName, error);
    return 3;
  }
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL)) {
    fprintf(stderr, "keysecurity: no SDDL (error %lu)\n", GetLastError());
    return 3;
  }
  out = fopen(argv[1], "wb");
  if (out == NULL || fprintf(out, "%s\n", text) < 0 || fclose(out) != 0) return 3;
  LocalFree(text);
  LocalFree(descriptor);
  return 0;
}
