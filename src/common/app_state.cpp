#include "common/app_state.h"

namespace quarnel {

std::unique_ptr<AppState> MakeAppState() {
  auto state = std::make_unique<AppState>();
  *state = AppState{};
  return state;
}

}  // namespace quarnel
