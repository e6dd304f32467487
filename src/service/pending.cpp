// Stand-ins until the service procedures land: they end the run clearly
// instead of pretending to have done anything.
#include "app/fatal_error.h"
#include "service/install.h"
#include "service/uninstall.h"

namespace vora {

void run_install(SC_HANDLE) { report_fatal_error("This build cannot install or uninstall yet."); }
void run_uninstall(SC_HANDLE, bool) { report_fatal_error("This build cannot install or uninstall yet."); }

}  // namespace vora
