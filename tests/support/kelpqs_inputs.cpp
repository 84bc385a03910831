#include "support/kelpqs_inputs.h"

#include "support/ftbl_builder.h"

namespace dorv::test {

namespace {

_commonDorvTable bufferOf(Bytes& bytes) {
    return _commonDorvTable{bytes.empty() ? nullptr : bytes.data(),
                            static_cast<uint32_t>(bytes.size())};
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

DorvInitTables DorvInputs::record() {
    DorvInitTables tables{};
    tables.tarvoCfg = bufferOf(tarvo);
    tables.omblCfg = bufferOf(ombl);
    tables.pqsImage = bufferOf(pqs);
    tables.ftblBin = bufferOf(ftbl);
    tables.skuId = sku;
    tables.efsImage = bufferOf(efs);
    return tables;
}

Bytes make_ombl(const Bytes& zan_cfg, std::optional<uint32_t> table_size) {
    Bytes out = {'O', 'M', 'B', 'L', 1, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
    put_le32(out, 8, table_size.value_or(static_cast<uint32_t>(zan_cfg.size())));
    out.insert(out.end(), zan_cfg.begin(), zan_cfg.end());
    return out;
}

namespace sample {

Bytes alphaDefault() { return text("alpha-default"); }
Bytes alphaOverride() { return text("alpha-zan"); }
Bytes betaValue() { return {1, 2, 3, 4}; }

Bytes ftbl() {
    return FtblBuilder()
        .add_sku(1, {{"/home/mca/alpha", kAlpha, 0, 0, 0, 2}})  // another SKU, smaller limits
        .add_sku(kSku, {{"/home/mca/alpha", kAlpha, 0x0000, 0, 0, 16},
                        {"/home/mca/beta", kBeta, 0x0001, 1, 0, 8},
                        {"/home/mca/beta.x", kBetaX, 0x0040, 2, 0, 8},
                        {"/home/mca/gamma", kGamma, 0x0000, 3, 0, 64},
                        {"/home/mca/delta", kDelta, 0x0000, 4, 0, 8},
                        {"/home/cfg/empty", kEmpty, 0x0002, 5, 0, 4},
                        {"/home/cfg/hidden", kHidden, 0x0000, 6, 0, 8}})
        .without_efs_section()
        .build();
}

Bytes tarvo() {
    return FcsBuilder()
        .file(kGamma, {}, 0x00)
        .file(kBeta, betaValue())
        .file(kUnknown, text("unknown"))
        .file(kAlpha, alphaDefault())
        .file(kBetaX, {9})
        .file(kEmpty, {})
        .file(kHidden, text("visible"))
        .build();
}

Bytes zan() {
    return FcsBuilder()
        .file(kDelta, text("delta"))
        .file(kAlpha, alphaOverride(), 0x81, 0x5A)
        .file(kHidden, {7, 7, 7}, 0x00)
        .build();
}

Bytes ombl() { return make_ombl(zan()); }

Bytes builtZan() {
    return FcsBuilder()
        .file(kEmpty, {})
        .file(kAlpha, alphaOverride(), 0x81, 0x5A)
        .file(kBetaX, {9})
        .file(kBeta, betaValue())
        .build();
}

DorvInputs inputs() {
    DorvInputs in;
    in.tarvo = tarvo();
    in.ombl = ombl();
    in.ftbl = ftbl();
    in.sku = kSku;
    return in;
}

}  // namespace sample

}  // namespace dorv::test
