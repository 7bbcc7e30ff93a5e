// A shared object that is dlclose()d runs the library's exit handler with its threads still
// alive, so nothing needs to keep it loaded.
#include "platform/process_end.h"

namespace vexdaq::platform {

void hold_library() {}
void release_library() {}

}  // namespace vexdaq::platform
