#include "support/efs_file_reader.h"

#include "dorv/efs.h"

namespace dorv::test {

EfsFileRead efs_read_whole(uint32_t file_index) {
    EfsFileRead out;
    uint32_t size = 0xDEADBEEF;
    out.rc = EFS_get_file_size(file_index, &size);
    if (out.rc == 2) {
        out.rc = 0;
        return out;  // empty
    }
    if (out.rc != 0) return out;
    std::vector<uint8_t> buf(size + 16u, 0xA5);
    uint32_t length = size + 16u;
    out.rc = EFS_read(file_index, 0, &length, buf.data());
    if (out.rc != 0) return out;
    if (length != size) {
        out.rc = -1;  // the read and the size query disagree
        return out;
    }
    buf.resize(length);
    out.data = std::move(buf);
    return out;
}

}  // namespace dorv::test
