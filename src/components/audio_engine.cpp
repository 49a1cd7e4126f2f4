#include "components/audio_engine.h"

namespace korvanta {

void InstallAudioEngine(const Platform&, std::string, std::string, std::string) {}

}  // namespace korvanta
