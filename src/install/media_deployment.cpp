#include "install/media_deployment.h"

namespace korvanta {

void DeployMediaFiles(const Platform&, std::string, std::string) {}

}  // namespace korvanta
