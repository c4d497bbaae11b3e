#include "launcher/run_state.h"

namespace kesto {

RunState g_run;

}  // namespace kesto
