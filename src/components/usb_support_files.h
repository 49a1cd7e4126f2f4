// Support files of two USB audio devices: INF files and the FTDI D2XX driver.
#pragma once

#include <string>

#include "toolkit/platform.h"

namespace korvanta {

void InstallUsbAudioInterfaceFiles(const Platform& platform, std::string sourceDir,
                                   std::string windowsDir, std::string systemDir);

void InstallUsbControllerFiles(const Platform& platform, std::string sourceDir,
                               std::string windowsDir, std::string systemDir);

}  // namespace korvanta
