#include "tools/firmware_package_builder.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>

namespace ztools {

namespace {

struct WriterFree {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

// Collects the archive in a growing buffer.
la_ssize_t appendBytes(struct archive*, void* client, const void* buffer, size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(client);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    out->insert(out->end(), bytes, bytes + length);
    return static_cast<la_ssize_t>(length);
}

void check(struct archive* a, int result) {
    if (result < ARCHIVE_WARN) {
        const char* why = archive_error_string(a);
        throw std::runtime_error(std::string("building a tar archive: ") + (why ? why : "failed"));
    }
}

// Deterministic filler from a small linear congruential sequence, with the
// file kind's magic number in front so that the device recognises the kind.
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

constexpr std::initializer_list<uint8_t> kDeviceTreeMagic{0xD0, 0x0D, 0xFE, 0xED};
constexpr std::initializer_list<uint8_t> kLz4FrameMagic{0x04, 0x22, 0x4D, 0x18};

}  // namespace

std::vector<uint8_t> buildTarArchive(const std::vector<PackageMember>& members) {
    std::vector<uint8_t> out;
    std::unique_ptr<struct archive, WriterFree> writer(archive_write_new());
    if (!writer) throw std::runtime_error("building a tar archive: no writer");
    check(writer.get(), archive_write_set_format_gnutar(writer.get()));
    check(writer.get(), archive_write_set_bytes_per_block(writer.get(), static_cast<int>(kTarRecordBytes)));
    // The last record is padded in full too: the device counts whole records.
    check(writer.get(), archive_write_set_bytes_in_last_block(writer.get(), static_cast<int>(kTarRecordBytes)));
    check(writer.get(), archive_write_open(writer.get(), &out, nullptr, appendBytes, nullptr));
    for (const PackageMember& member : members) {
        std::unique_ptr<struct archive_entry, EntryFree> entry(archive_entry_new());
        if (!entry) throw std::runtime_error("building a tar archive: no entry");
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

std::vector<uint8_t> crcText(std::span<const uint8_t> content) {
    const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), content.data(), content.size());
    char text[10];
    std::snprintf(text, sizeof text, "%08lx\n", static_cast<unsigned long>(crc & 0xFFFFFFFFu));
    return std::vector<uint8_t>(text, text + 9);
}

std::vector<PackageMember> firmwareMembers(const FirmwareSizes& sizes) {
    const auto bootfix = filler(sizes.bootfix, 1);
    const auto dtb601 = filler(sizes.dtb601, 2, kDeviceTreeMagic);
    const auto dtb602 = filler(sizes.dtb602, 3, kDeviceTreeMagic);
    const auto vpu3 = filler(sizes.vpu3, 4, kLz4FrameMagic);
    const auto zImage = filler(sizes.zImage, 5);
    const auto launcher = filler(sizes.launcher, 6, kLz4FrameMagic);
    const auto packet1 = filler(sizes.packet1, 7, kLz4FrameMagic);
    const auto reset = filler(sizes.reset, 8, kLz4FrameMagic);
    const auto packet2 = filler(sizes.packet2, 9, kLz4FrameMagic);
    // The microcontroller's checksum texts cover the unpacked packets, which
    // only the device ever sees; here they are checksums of stand-in packet
    // bytes of twice the packed size.
    const std::string psoc = "fw-update/psoc/100F11A0/";
    return {
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
        {psoc + "1.pkt.lz4", packet1},
        {psoc + "1.pkt.crc", crcText(filler(packet1.size() * 2, 17))},
        {psoc + "reset.pkt.lz4", reset},
        {psoc + "reset.pkt.crc", crcText(filler(64, 18))},
        {psoc + "2.pkt.lz4", packet2},
        {psoc + "2.pkt.crc", crcText(filler(packet2.size() * 2, 19))},
        {"fw-update/psoc/version.txt", {'1', '.', '0', '.', '0', '\n'}},
    };
}

FirmwareSizes scaledFirmwareSizes(size_t totalBytes) {
    const size_t budget = totalBytes < 8192 ? 8192 : totalBytes;
    const size_t packet = budget / 25;
    return FirmwareSizes{
        .bootfix = budget / 45,
        .dtb601 = budget / 180,
        .dtb602 = budget / 180,
        .vpu3 = budget * 34 / 100,
        .zImage = budget * 53 / 100,
        .launcher = packet / 8,
        .packet1 = packet,
        .reset = 27,
        .packet2 = packet,
    };
}

std::vector<uint8_t> buildFirmwareArchive(const FirmwareSizes& sizes) {
    return buildTarArchive(firmwareMembers(sizes));
}

std::vector<uint8_t> buildReleaseFirmwarePackage() {
    std::vector<uint8_t> package = buildFirmwareArchive(kReleaseFirmwareSizes);
    package.insert(package.end(), kReleaseVersionTrailer.begin(), kReleaseVersionTrailer.end());
    return package;
}

size_t tarMemberDataOffset(std::span<const uint8_t> tar, const std::string& name) {
    // Walk the headers: each is followed by its data rounded up to whole blocks.
    size_t at = 0;
    while (tar.size() >= kTarBlockBytes && at <= tar.size() - kTarBlockBytes) {
        const char* header = reinterpret_cast<const char*>(&tar[at]);
        if (header[0] == '\0') break;  // end-of-archive blocks
        const std::string member(header, strnlen(header, 100));
        if (member == name) return at + kTarBlockBytes;
        const std::string sizeField(header + 124, strnlen(header + 124, 12));
        char* end = nullptr;
        const unsigned long long size = std::strtoull(sizeField.c_str(), &end, 8);
        if (end == sizeField.c_str() || size > tar.size()) break;  // not a header we wrote
        at += kTarBlockBytes + (static_cast<size_t>(size) + kTarBlockBytes - 1) / kTarBlockBytes * kTarBlockBytes;
    }
    return 0;
}

}  // namespace ztools
