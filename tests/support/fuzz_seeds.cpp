#include "support/fuzz_seeds.h"

#include <cstdlib>
#include <fstream>

namespace dorv::test {

bool writeSeedIfAsked(const std::string& name, const std::vector<uint8_t>& bytes) {
    const char* dir = std::getenv("DORV_WRITE_FUZZ_SEEDS");
    if (dir == nullptr) return true;
    std::ofstream out(std::string(dir) + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

}  // namespace dorv::test
