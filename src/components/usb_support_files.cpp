#include "components/usb_support_files.h"

namespace korvanta {

void InstallUsbAudioInterfaceFiles(const Platform&, std::string, std::string, std::string) {}

void InstallUsbControllerFiles(const Platform&, std::string, std::string, std::string) {}

}  // namespace korvanta
