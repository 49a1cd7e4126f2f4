#include "components/kernel_nt.h"

namespace korvanta {

void InstallKernelNt(const Platform&, std::string, std::string, std::string) {}

}  // namespace korvanta
