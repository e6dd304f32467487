// Stand-in until the install procedure lands: it ends the run clearly
// instead of pretending to have done anything.
#include "app/fatal_error.h"
#include "service/install.h"

namespace vora {

void run_install(SC_HANDLE) { report_fatal_error("This build cannot install yet."); }

}  // namespace vora
