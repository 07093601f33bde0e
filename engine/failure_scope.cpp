#include "failure_scope.h"

namespace qm {

bool concernsOnlyThisPath(int code) {
    switch (code) {
    case 2:    // ENOENT: something on the way vanished
    case 3:    // ENOENT, ENOTDIR: a folder on the way is missing or is a file
    case 5:    // EACCES, EPERM, EISDIR: no access here, or a folder in the file's place
    case 32:   // EBUSY, ETXTBSY: a mount point or a running program in the way
    case 183:  // EEXIST: something that cannot be removed in the temporary's place
    case 206:  // ENAMETOOLONG
    case 223:  // EFBIG: larger than this medium or the file-size limit takes
    case 1921: // ELOOP
        return true;
    default:
        // 112 full or quota, 19 read-only, 1117 EIO, 4 out of file
        // handles, 31 anything unforeseen
        return false;
    }
}

} // namespace qm
