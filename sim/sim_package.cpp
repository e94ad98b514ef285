#include "sim/sim_package.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace zsim {

namespace {

struct WriterFree {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

// Callbacks that collect the archive in a growing buffer.
la_ssize_t appendBytes(struct archive*, void* client, const void* buffer, size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(client);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    out->insert(out->end(), bytes, bytes + length);
    return static_cast<la_ssize_t>(length);
}

void check(struct archive* a, int result) {
    if (result < ARCHIVE_WARN) {
        throw std::runtime_error(std::string("building a tar archive: ") +
                                 (archive_error_string(a) ? archive_error_string(a) : "failed"));
    }
}

// Deterministic filler: a small linear congruential sequence.
std::vector<uint8_t> filler(size_t size, uint32_t seed, std::initializer_list<uint8_t> magic = {}) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(state >> 24);
    }
    size_t i = 0;
    for (uint8_t b : magic) {
        if (i < size) bytes[i++] = b;
    }
    return bytes;
}

}  // namespace

std::vector<uint8_t> buildTarArchive(const std::vector<PackageMember>& members) {
    std::vector<uint8_t> out;
    std::unique_ptr<struct archive, WriterFree> writer(archive_write_new());
    if (!writer) throw std::runtime_error("building a tar archive: no writer");
    check(writer.get(), archive_write_set_format_gnutar(writer.get()));
    check(writer.get(), archive_write_set_bytes_per_block(writer.get(), 10240));
    check(writer.get(), archive_write_open(writer.get(), &out, nullptr, appendBytes, nullptr));
    for (const PackageMember& member : members) {
        std::unique_ptr<struct archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), member.name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), member.mode);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.content.size()));
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_uname(entry.get(), "root");
        archive_entry_set_gname(entry.get(), "root");
        archive_entry_set_mtime(entry.get(), 0, 0);
        check(writer.get(), archive_write_header(writer.get(), entry.get()));
        if (!member.content.empty()) {
            const la_ssize_t wrote = archive_write_data(writer.get(), member.content.data(), member.content.size());
            if (wrote < 0 || static_cast<size_t>(wrote) != member.content.size()) check(writer.get(), ARCHIVE_FATAL);
        }
    }
    check(writer.get(), archive_write_close(writer.get()));
    return out;
}

std::vector<uint8_t> crcText(const std::vector<uint8_t>& content) {
    const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), content.data(), content.size());
    char text[10];
    std::snprintf(text, sizeof text, "%08lx\n", static_cast<unsigned long>(crc & 0xFFFFFFFFu));
    return std::vector<uint8_t>(text, text + 9);
}

std::vector<uint8_t> buildTestFirmwareArchive(size_t totalBytes) {
    // Shares follow the real package: the kernel and the vision-processor
    // image dominate, the boot files and packets are small.
    const size_t budget = totalBytes < 8192 ? 8192 : totalBytes;
    const size_t boot = budget / 45;
    const size_t dtb = budget / 180;
    const size_t vpu = budget * 34 / 100;
    const size_t kernel = budget * 53 / 100;
    const size_t packet = budget / 25;

    const auto bootfix = filler(boot, 1);
    const auto dtb601 = filler(dtb, 2, {0xD0, 0x0D, 0xFE, 0xED});
    const auto dtb602 = filler(dtb, 3, {0xD0, 0x0D, 0xFE, 0xED});
    const auto vpu3 = filler(vpu, 4, {0x04, 0x22, 0x4D, 0x18});
    const auto zImage = filler(kernel, 5);
    const auto launcher = filler(packet / 8, 6, {0x04, 0x22, 0x4D, 0x18});
    const auto pkt1 = filler(packet, 7, {0x04, 0x22, 0x4D, 0x18});
    const auto reset = filler(27, 8, {0x04, 0x22, 0x4D, 0x18});
    const auto pkt2 = filler(packet, 9, {0x04, 0x22, 0x4D, 0x18});
    // The packet texts cover the unpacked packets, which only the device
    // sees; here they are the checksums of stand-in packet bytes.
    const std::string psoc = "fw-update/psoc/100F11A0/";
    return buildTarArchive({
        {"fw-update/bootfix.bin", bootfix},
        {"fw-update/vpu3-boot601.dtb", dtb601},
        {"fw-update/vpu3-boot602.dtb", dtb602},
        {"fw-update/vpu3.lz4", vpu3},
        {"fw-update/zImage", zImage, 0775},
        {"fw-update/bootfix.bin.crc", crcText(bootfix)},
        {"fw-update/vpu3-boot601.dtb.crc", crcText(dtb601)},
        {"fw-update/vpu3-boot602.dtb.crc", crcText(dtb602)},
        {"fw-update/vpu3.lz4.crc", crcText(vpu3)},
        {"fw-update/zImage.crc", crcText(zImage)},
        {psoc + "Launcher.pkt.lz4", launcher},
        {psoc + "Launcher.pkt.crc", crcText(filler(launcher.size() * 2, 16))},
        {psoc + "1.pkt.lz4", pkt1},
        {psoc + "1.pkt.crc", crcText(filler(pkt1.size() * 2, 17))},
        {psoc + "reset.pkt.lz4", reset},
        {psoc + "reset.pkt.crc", crcText(filler(64, 18))},
        {psoc + "2.pkt.lz4", pkt2},
        {psoc + "2.pkt.crc", crcText(filler(pkt2.size() * 2, 19))},
        {"fw-update/psoc/version.txt", {'1', '.', '0', '.', '0', '\n'}},
    });
}

size_t tarMemberDataOffset(const std::vector<uint8_t>& tar, const std::string& name) {
    // Walk the headers: each is followed by its data rounded up to whole blocks.
    size_t at = 0;
    while (at + 512 <= tar.size()) {
        const char* header = reinterpret_cast<const char*>(&tar[at]);
        if (header[0] == '\0') break;  // end-of-archive blocks
        const std::string member(header, strnlen(header, 100));
        const size_t size = std::strtoull(std::string(header + 124, strnlen(header + 124, 12)).c_str(), nullptr, 8);
        if (member == name) return at + 512;
        at += 512 + (size + 511) / 512 * 512;
    }
    return 0;
}

}  // namespace zsim
