#include "install/boxless_platform_ops.h"

namespace korvanta {
namespace {

// The seam's list marks some arguments for the action log
// (platform/platform_ops.h); forwarding passes each of them on as it is.
template <typename T> T Flags(T value) { return value; }
template <typename T> T Truth(T value) { return value; }
template <typename T> T Entries(T value) { return value; }
template <typename T> T RegType(T value) { return value; }
template <typename T> T FunctionName(T value) { return value; }
template <typename T> T Address(T value) { return value; }
template <typename T> T Out(T value) { return value; }
template <typename T> T OutTruth(T value) { return value; }
template <typename T> T OutRegType(T value) { return value; }
template <typename T> T OutDisposition(T value) { return value; }
template <typename T> T Size(T value) { return value; }
// Marks whose first argument is the one passed: the others describe it.
template <typename T, typename... Rest> T Bytes(T value, Rest...) { return value; }
template <typename T, typename... Rest> T Filled(T value, Rest...) { return value; }
template <typename T, typename... Rest> T FilledCut(T value, Rest...) { return value; }
template <typename T, typename... Rest> T OutText(T value, Rest...) { return value; }
template <typename T, typename... Rest> T OutBytes(T value, Rest...) { return value; }
// Registry data: its type comes first.
template <typename Type, typename T, typename... Rest> T RegValue(Type, T value, Rest...) {
  return value;
}
template <typename Type, typename T, typename... Rest> T OutRegValue(Type, T value, Rest...) {
  return value;
}

class ForwardingPlatformOps : public PlatformOps {
 public:
  explicit ForwardingPlatformOps(PlatformOps& system) : system_(system) {}

#define KORVANTA_FORWARD(Result, Name, Parameters, returns, ...) \
  Result Name Parameters override { return system_.Name(__VA_ARGS__); }
  KORVANTA_PLATFORM_OPERATIONS(KORVANTA_FORWARD)
#undef KORVANTA_FORWARD

 private:
  PlatformOps& system_;
};

class BoxlessPlatformOps final : public ForwardingPlatformOps {
 public:
  BoxlessPlatformOps(PlatformOps& system, RunObserver* observer)
      : ForwardingPlatformOps(system), observer_(observer) {}

  int MessageBoxA(HWND, const char* text, const char* caption, UINT) override {
    if (observer_ != nullptr) observer_->BoxNotShown(caption, text);
    return IDOK;
  }

 private:
  RunObserver* observer_;
};

}  // namespace

std::unique_ptr<PlatformOps> MakeBoxlessPlatformOps(PlatformOps& system, RunObserver* observer) {
  return std::make_unique<BoxlessPlatformOps>(system, observer);
}

}  // namespace korvanta
