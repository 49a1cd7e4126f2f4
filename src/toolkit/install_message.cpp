#include "toolkit/install_message.h"

namespace korvanta {

void ShowInstallMessage(PlatformOps& ops, const std::string& text) {
  ops.MessageBoxA(nullptr, text.c_str(), InstallerCaption, InstallMessageFlags);
}

}  // namespace korvanta
