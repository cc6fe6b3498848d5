// The monotonic clock behind TickClock.
#include <chrono>

#include "backends.h"

namespace ocelix {
namespace {

class SteadyTickClock final : public TickClock {
  public:
    uint32_t NowMs() override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<uint32_t>(ms.count());
    }
};

}  // namespace

std::unique_ptr<TickClock> MakeSteadyTickClock() {
    return std::make_unique<SteadyTickClock>();
}

}  // namespace ocelix
