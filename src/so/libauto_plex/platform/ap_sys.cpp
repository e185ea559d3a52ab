// The binding-independent half of the platform seam.
#include "platform/ap_sys.h"

#include <unistd.h>

bool ap_sys_marker_exists() {
    const char *path = ap_sys_marker_path();
    return path && access(path, F_OK) == 0;
}
