/* regdump.exe <output-file> <root[\key]>...
 *
 * Dumps registry keys exactly, from inside the Wine session: the tests must see
 * each value's type and byte length, which `reg query` hides, and they must see
 * them before the session ends (the hive files on disk are written only then).
 * Values are read with RegEnumValueA, so string values show the ANSI bytes and
 * length that an ANSI program reads back.
 *
 * Roots as in registry_root.h. For each key given, recursively, one record
 * per line (fields escaped as in record.h):
 *
 *   key     <TAB> path
 *   value   <TAB> path <TAB> name <TAB> type <TAB> byte length <TAB> hex bytes
 *   missing <TAB> path                    (a requested key that does not exist)
 *   denied  <TAB> path <TAB> error code   (a key that exists but cannot be read)
 *
 * Exit code 0 when the output was written, 2 for bad arguments, 3 when writing
 * failed. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "record.h"
#include "registry_root.h"

static FILE* out;

static void WriteField(const char* text) {
  fputc('\t', out);
  WriteEscaped(out, text, strlen(text));
}

static void WriteRecord(const char* kind, const char* path) {
  fputs(kind, out);
  WriteField(path);
}

static void WriteDenied(const char* path, LONG error) {
  WriteRecord("denied", path);
  fprintf(out, "\t%ld\n", error);
}

static char* JoinPath(const char* parent, const char* child) {
  const size_t parentLength = strlen(parent);
  char* path = (char*)malloc(parentLength + strlen(child) + 2);
  if (path == NULL) {
    fputs("regdump: out of memory\n", stderr);
    exit(3);
  }
  memcpy(path, parent, parentLength);
  path[parentLength] = '\\';
  strcpy(path + parentLength + 1, child);
  return path;
}

static void* Allocate(size_t size) {
  void* block = malloc(size > 0 ? size : 1);
  if (block == NULL) {
    fputs("regdump: out of memory\n", stderr);
    exit(3);
  }
  return block;
}

/* The largest names the registry allows; value data has no such limit, so its
 * buffer grows on demand. Asking each key for its sizes instead
 * (RegQueryInfoKeyA) costs Wine more than the whole enumeration. */
#define MAX_KEY_NAME 256
#define MAX_VALUE_NAME 16384

static char valueName[MAX_VALUE_NAME + 1];
static BYTE* valueData;
static DWORD valueDataCapacity = 65536;

/* Returns ERROR_SUCCESS or the error that stopped the enumeration. */
static LONG DumpValues(HKEY key, const char* path) {
  DWORD index = 0;
  LONG result;
  for (;;) {
    DWORD nameLength = sizeof(valueName);
    DWORD dataLength = valueDataCapacity;
    DWORD type = 0;
    result = RegEnumValueA(key, index, valueName, &nameLength, NULL, &type, valueData, &dataLength);
    if (result == ERROR_MORE_DATA) {
      valueDataCapacity = (dataLength > valueDataCapacity ? dataLength : valueDataCapacity) * 2;
      free(valueData);
      valueData = (BYTE*)Allocate(valueDataCapacity);
      continue;
    }
    if (result != ERROR_SUCCESS) break;
    WriteRecord("value", path);
    fputc('\t', out);
    WriteEscaped(out, valueName, nameLength);
    fprintf(out, "\t%lu\t%lu\t", type, dataLength);
    WriteHex(out, valueData, dataLength);
    fputc('\n', out);
    ++index;
  }
  return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

static void DumpKey(HKEY key, const char* path) {
  char subkeyName[MAX_KEY_NAME + 1];
  DWORD index = 0;
  LONG result;
  WriteRecord("key", path);
  fputc('\n', out);
  result = DumpValues(key, path);
  if (result != ERROR_SUCCESS) WriteDenied(path, result);

  for (;;) {
    DWORD nameLength = sizeof(subkeyName);
    HKEY subkey;
    char* subkeyPath;
    result = RegEnumKeyExA(key, index, subkeyName, &nameLength, NULL, NULL, NULL, NULL);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      WriteDenied(path, result);
      break;
    }
    subkeyPath = JoinPath(path, subkeyName);
    result = RegOpenKeyExA(key, subkeyName, 0, KEY_READ, &subkey);
    if (result == ERROR_SUCCESS) {
      DumpKey(subkey, subkeyPath);
      RegCloseKey(subkey);
    } else {
      WriteDenied(subkeyPath, result);
    }
    free(subkeyPath);
    ++index;
  }
}

static int DumpRequested(const char* request) {
  const char* subkeyPath;
  const HKEY root = ParseRegistryPath(request, &subkeyPath);
  HKEY key;
  LONG result;
  if (root == NULL) return 0;
  result = RegOpenKeyExA(root, subkeyPath, 0, KEY_READ, &key);
  if (result == ERROR_FILE_NOT_FOUND) {
    WriteRecord("missing", request);
    fputc('\n', out);
  } else if (result != ERROR_SUCCESS) {
    WriteDenied(request, result);
  } else {
    DumpKey(key, request);
    RegCloseKey(key);
  }
  return 1;
}

int main(int argc, char** argv) {
  int i;
  if (argc < 3) {
    fputs("usage: regdump.exe <output-file> <root[\\key]>...\n", stderr);
    return 2;
  }
  out = fopen(argv[1], "wb");
  if (out == NULL) {
    fputs("regdump: cannot create the output file\n", stderr);
    return 3;
  }
  valueData = (BYTE*)Allocate(valueDataCapacity);
  for (i = 2; i < argc; ++i) {
    if (!DumpRequested(argv[i])) {
      fprintf(stderr, "regdump: unknown root in %s\n", argv[i]);
      fclose(out);
      return 2;
    }
  }
  return fclose(out) == 0 ? 0 : 3;
}
