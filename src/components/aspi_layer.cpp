#include "components/aspi_layer.h"

namespace korvanta {

void InstallAspiLayer(const Platform&, std::string, std::string, std::string) {}

}  // namespace korvanta
