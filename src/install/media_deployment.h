// The last stage: the OEM library and the manuals from the distribution CD.
#pragma once

#include <string>

#include "platform/platform_ops.h"
#include "toolkit/platform.h"

namespace korvanta {

// The full path of `relativePath` on the first CD-ROM drive from D: to Z:
// that holds it as a file, or an empty string. A: to C: are never looked at.
// Empty drives are passed over without a system dialog; the process error
// mode is the caller's again on return.
std::string FindOnCdromDrives(PlatformOps& ops, const std::string& relativePath);

// Deletes "HISTORY.TXT" from the application directory, then copies the OEM
// library and, for a non-empty manual base name, the German and English
// manuals from wherever a CD holds each of them. Nothing is reported; a file
// that is missing or cannot be written stays as it was. A base name holding
// "\", "/" or ":" names no manual of the CD and skips the manuals.
void DeployMediaFiles(const Platform& platform, std::string applicationDir,
                      std::string manualBaseName);

}  // namespace korvanta
