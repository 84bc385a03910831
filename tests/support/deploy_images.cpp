#include "support/deploy_images.h"

#include <stdexcept>

#include "dorv/afs.h"
#include "dorv/dfs.h"
#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "efs/efs_internal.h"
#include "support/fcs_builder.h"
#include "support/library_reset.h"

namespace dorv::test {

namespace {

constexpr uint8_t kEfsSelector = 2;

bool isEfs(const DeployedFile& file) { return file.entry.storage_selector == kEfsSelector; }

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

// A new AFS partition over the whole image: the translation layer formatted
// and the partition header created.
void createPartition(Bytes& image, uint32_t files) {
    afs_context_t context{};
    Bytes bounce(4096);
    context.bounce_buffer = bounce.data();
    const uint32_t flags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_DEVICE |
                           AFS_INIT_CREATE | AFS_INIT_FORMAT;
    const uint32_t code = afs_init(&context, image.data(), 64, 10, files, 0,
                                   static_cast<uint32_t>(image.size()), flags, 0, 0);
    afs_free_context(&context);
    check(code == 0, "afs_init could not create the partition");
}

void writeFile(const DeployedFile& file) {
    dfs_file_number_t number = 0;
    check(pathToFileNumber(file.entry.name.c_str(), &number) == 0, "file not in the file table");
    const Bytes& content = *file.flash;
    static const uint8_t none = 0;
    check(dfs_write(number, 0, static_cast<uint32_t>(content.size()),
                    content.empty() ? &none : content.data(), 0) == 0,
          "dfs_write of a deployed file failed");
}

}  // namespace

DorvInputs build_deployment(const Deployment& d) {
    resetLibraryState();
    DorvInputs in;
    in.sku = d.sku;

    std::vector<FtblEntry> entries;
    EfsLayoutRow row;
    row.sku_id = d.sku;
    row.bm_num = d.efs_bm;
    row.valid_block_num = d.efs_valid;
    row.non_valid_block_num = d.efs_spare;
    FcsBuilder tarvo;
    for (const DeployedFile& file : d.files) {
        entries.push_back(file.entry);
        if (isEfs(file)) {
            EfsLayoutFile place = file.efs_place;
            place.file_index = file.entry.storage_index;
            row.files.push_back(place);
        }
        if (file.tarvo) tarvo.file(file.entry.file_number, *file.tarvo);
    }
    in.ftbl = FtblBuilder().add_sku(d.sku, entries).add_efs_row(row).build();
    in.tarvo = tarvo.build();
    if (d.zan) in.ombl = make_ombl(*d.zan);

    check(load_file_table(in.ftbl.data(), d.sku, static_cast<uint32_t>(in.ftbl.size())) == 0,
          "file table refused");
    if (d.pqs_size != 0) {
        in.pqs.assign(d.pqs_size, 0xFF);
        createPartition(in.pqs, d.afs_files);
        check(dfs_init(in.pqs.data(), d.pqs_size) == 0, "the created partition does not mount");
        for (const DeployedFile& file : d.files) {
            if (!isEfs(file) && file.flash) writeFile(file);
        }
    }
    if (d.with_efs) {
        check(EFS_init(1) == 0, "EFS format failed");
        for (const DeployedFile& file : d.files) {
            if (!isEfs(file) || !file.flash) continue;
            const Bytes& content = *file.flash;
            static const uint8_t none = 0;
            check(EFS_write(file.entry.storage_index, 0, static_cast<uint32_t>(content.size()),
                            content.empty() ? &none : content.data()) == 0,
                  "EFS_write of a deployed file failed");
        }
        in.efs.assign(efs_image, efs_image + efs_size);
    }
    resetLibraryState();
    return in;
}

std::map<std::string, std::optional<Bytes>> read_deployed(DorvInputs& in,
                                                          const std::vector<std::string>& names) {
    resetLibraryState();
    std::map<std::string, std::optional<Bytes>> out;
    check(load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) == 0,
          "file table refused");
    if (!in.pqs.empty()) {
        check(dfs_init(in.pqs.data(), static_cast<uint32_t>(in.pqs.size())) == 0, "PQS image does not mount");
    }
    if (!in.efs.empty()) {
        check(efs_mount_image(in.efs.data(), static_cast<uint32_t>(in.efs.size())) == 0,
              "EFS image does not mount");
    }
    for (const std::string& name : names) {
        dfs_file_number_t number = 0;
        check(pathToFileNumber(name.c_str(), &number) == 0, "name not in the file table");
        uint32_t size = 0;
        const int code = dfs_getsize(number, &size);
        if (code == 2) {
            out[name] = std::nullopt;
            continue;
        }
        check(code == 0, "dfs_getsize failed");
        Bytes content(size);
        uint32_t length = size;
        check(size == 0 || (dfs_read(number, 0, &length, content.data()) == 0 && length == size),
              "dfs_read failed");
        out[name] = content;
    }
    resetLibraryState();
    return out;
}

}  // namespace dorv::test
