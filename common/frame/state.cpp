#include "frame/state.h"

namespace vx {

ModuleState module_state;

}  // namespace vx
