// Builds AFS partition images byte by byte for the tests: unit headers, map
// entries with their chain, page records with their crc, data status bytes.
#ifndef DORV_TESTS_SUPPORT_AFS_IMAGE_BUILDER_H
#define DORV_TESTS_SUPPORT_AFS_IMAGE_BUILDER_H

#include <cstdint>
#include <vector>

#include "dorv/afs.h"

namespace dorv::test {

struct AfsHeaderSpec {
    uint32_t magic = 0xAA557887u;
    uint32_t sequence = 1;
    uint32_t erase_count = 1;
    uint16_t aux = 0;
    uint16_t id = 0;
    uint8_t complete = 0;
    uint32_t crc_magic = 0xAA557887u;  // magic the crc is computed over
};

class AfsImage {
public:
    explicit AfsImage(uint32_t units) : bytes(static_cast<std::size_t>(units) * 8192, 0xFF) {}
    std::vector<uint8_t> bytes;

    uint8_t* unit(uint32_t u) { return bytes.data() + static_cast<std::size_t>(u) * 8192; }
    void header(uint32_t u, const AfsHeaderSpec& h);
    // Metadata slot: entry chained from `chain`, record with crc over `page`,
    // and (unless end_mark is false) the end mark in the next entry.
    void meta_page(uint32_t u, uint32_t slot, uint16_t page, uint16_t chain, uint8_t fill, bool end_mark = true);
    // A run of pages in slots 0.. of a unit, chained, end mark after the last.
    void meta_pages(uint32_t u, const std::vector<uint16_t>& pages, uint8_t fill);
    void data_page(uint32_t u, uint32_t slot, uint16_t page, uint8_t fill, uint8_t status = 0x00);
    uint16_t entry(uint32_t u, uint32_t e) const;
};

// Page record contents used by meta_page / data_page.
std::vector<uint8_t> afs_page_bytes(uint8_t fill, uint16_t page);

// A context over an image, geometry filled by hand (base 0).
afs_context_t afs_context(AfsImage& img, uint32_t vas, uint32_t data_start);

}  // namespace dorv::test

#endif
