#include <unistd.h>

#include "platform/find.h"

namespace plat {

bool progress_on_stderr() { return isatty(STDERR_FILENO) == 1; }

}  // namespace plat
