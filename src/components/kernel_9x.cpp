#include "components/kernel_9x.h"

namespace korvanta {

void InstallKernel9x(const Platform&, std::string, std::string, std::string) {}

}  // namespace korvanta
