// Test-side PQS and EFS images with deployed configuration files, made through
// the library's exported flash functions (an AFS partition created by
// afs_init and filled through DFS; an EFS formatted by a creating mount and
// filled through EFS_write), and read back the same way. No gtest here, so
// the benchmarks and fuzz seeds can use it too.
#ifndef DORV_TESTS_SUPPORT_DEPLOY_IMAGES_H
#define DORV_TESTS_SUPPORT_DEPLOY_IMAGES_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/ftbl_builder.h"
#include "support/kelpqs_inputs.h"

namespace dorv::test {

// One configuration file of a deployment.
struct DeployedFile {
    // File-table entry; storage_selector 2 puts the file in the EFS, whose
    // place (block, offset, max_size) then comes from efs_place.
    FtblEntry entry;
    std::optional<Bytes> tarvo;  // record in tarvo.cfg (none: not there)
    std::optional<Bytes> flash;  // file content on flash (none: no file)
    EfsLayoutFile efs_place = {};
};

struct Deployment {
    uint32_t sku = 9;
    std::vector<DeployedFile> files;
    std::optional<Bytes> zan;       // Zan.cfg table inside an ombl.cfg partition
    uint32_t pqs_size = 0x40000;    // 0: no PQS image
    bool with_efs = true;           // an EFS image (its layout is in ftbl.bin either way)
    uint32_t efs_bm = 2, efs_valid = 7, efs_spare = 3;  // EFS geometry in blocks
    uint32_t afs_files = 1024;      // file ids of the created partition
};

// ftbl.bin (with the EFS layout row of the deployment's EFS files), tarvo.cfg,
// ombl.cfg and the two images. Leaves the library as at load.
DorvInputs build_deployment(const Deployment& deployment);

// The contents of `names` as the images of `inputs` hold them, read through
// DFS and the mini VFS after a fresh mount of each image: nullopt for a file
// that does not exist (or an EFS file never written). Leaves the library,
// the file table and the flash layers as at load.
std::map<std::string, std::optional<Bytes>> read_deployed(DorvInputs& inputs,
                                                          const std::vector<std::string>& names);

}  // namespace dorv::test

#endif
