#include "app/firmware_package.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/firmware_package_builder.h"

namespace {

namespace zfu = ZarnFirmwareUpdater;
using Bytes = std::vector<uint8_t>;

constexpr size_t kArchiveBytes = 2600960;

zfu::VersionNumber v(uint32_t major, uint32_t minor, uint32_t patch) {
    return zfu::VersionNumber{.patch = patch, .minor = minor, .major = major};
}

struct Member {
    std::string name;
    mode_t type;
    mode_t perm;
    la_int64_t uid, gid;
    std::string uname, gname;
    Bytes content;
};

struct ReaderFree {
    void operator()(struct archive* a) const { archive_read_free(a); }
};

// Reads the archive part of a package back with libarchive, as the device would.
std::vector<Member> readArchive(std::span<const uint8_t> archive) {
    std::unique_ptr<struct archive, ReaderFree> reader(archive_read_new());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), archive.data(), archive.size()) != ARCHIVE_OK) {
        throw std::runtime_error("cannot open the archive");
    }
    std::vector<Member> members;
    struct archive_entry* entry = nullptr;
    int result;
    while ((result = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        Member m{archive_entry_pathname(entry),
                 archive_entry_filetype(entry),
                 archive_entry_perm(entry),
                 archive_entry_uid(entry),
                 archive_entry_gid(entry),
                 archive_entry_uname(entry) ? archive_entry_uname(entry) : "",
                 archive_entry_gname(entry) ? archive_entry_gname(entry) : "",
                 Bytes(static_cast<size_t>(archive_entry_size(entry)))};
        if (!m.content.empty()) {
            const la_ssize_t got = archive_read_data(reader.get(), m.content.data(), m.content.size());
            if (got != static_cast<la_ssize_t>(m.content.size())) throw std::runtime_error("short member " + m.name);
        }
        members.push_back(std::move(m));
    }
    if (result != ARCHIVE_EOF) throw std::runtime_error(archive_error_string(reader.get()));
    return members;
}

std::string crcOf(const Bytes& bytes) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), bytes.data(), static_cast<uInt>(bytes.size()));
    char text[10];
    std::snprintf(text, sizeof text, "%08lx\n", static_cast<unsigned long>(crc));
    return text;
}

bool isChecksumText(const Bytes& bytes) {
    if (bytes.size() != 9 || bytes[8] != '\n') return false;
    return std::all_of(bytes.begin(), bytes.begin() + 8,
                       [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

TEST(EmbeddedPackage, IsTheReleasePackageWithItsTrailer) {
    ASSERT_EQ(2600964u, zfu::embeddedFirmwarePackage.size());
    const auto trailer = zfu::embeddedFirmwarePackage.last(4);
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x01}), Bytes(trailer.begin(), trailer.end()));
    // The generated source carries exactly the generator's bytes.
    const Bytes release = ztools::buildReleaseFirmwarePackage();
    ASSERT_EQ(release.size(), zfu::embeddedFirmwarePackage.size());
    EXPECT_TRUE(std::equal(release.begin(), release.end(), zfu::embeddedFirmwarePackage.begin()));
}

TEST(EmbeddedPackage, ArchiveHasTheDeviceLayoutAndChecksumsThatVerify) {
    const auto archive = zfu::embeddedFirmwarePackage.first(kArchiveBytes);
    ASSERT_EQ(254u, archive.size() / 10240);
    ASSERT_EQ(0u, archive.size() % 10240);
    EXPECT_EQ(0, std::memcmp(&archive[257], "ustar  \0", 8));  // GNU header magic

    const std::string psoc = "fw-update/psoc/100F11A0/";
    const std::vector<std::pair<std::string, size_t>> expected{
        {"fw-update/bootfix.bin", 56908},
        {"fw-update/vpu3-boot601.dtb", 14248},
        {"fw-update/vpu3-boot602.dtb", 14236},
        {"fw-update/vpu3.lz4", 896363},
        {"fw-update/zImage", 1389048},
        {"fw-update/bootfix.bin.crc", 9},
        {"fw-update/vpu3-boot601.dtb.crc", 9},
        {"fw-update/vpu3-boot602.dtb.crc", 9},
        {"fw-update/vpu3.lz4.crc", 9},
        {"fw-update/zImage.crc", 9},
        {psoc + "Launcher.pkt.lz4", 3728},
        {psoc + "Launcher.pkt.crc", 9},
        {psoc + "1.pkt.lz4", 102895},
        {psoc + "1.pkt.crc", 9},
        {psoc + "reset.pkt.lz4", 27},
        {psoc + "reset.pkt.crc", 9},
        {psoc + "2.pkt.lz4", 102909},
        {psoc + "2.pkt.crc", 9},
        {"fw-update/psoc/version.txt", 6},
    };
    const std::vector<Member> members = readArchive(archive);
    ASSERT_EQ(expected.size(), members.size());
    size_t dataEnd = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        const Member& m = members[i];
        SCOPED_TRACE(m.name);
        EXPECT_EQ(expected[i].first, m.name);
        EXPECT_EQ(expected[i].second, m.content.size());
        EXPECT_EQ(static_cast<mode_t>(AE_IFREG), m.type);
        EXPECT_EQ(m.name == "fw-update/zImage" ? 0775u : 0664u, m.perm);
        EXPECT_EQ(0, m.uid);
        EXPECT_EQ(0, m.gid);
        EXPECT_EQ("root", m.uname);
        EXPECT_EQ("root", m.gname);
        dataEnd += 512 + (m.content.size() + 511) / 512 * 512;
    }
    // Past the last member there are only zero blocks.
    EXPECT_TRUE(std::all_of(archive.begin() + static_cast<std::ptrdiff_t>(dataEnd), archive.end(),
                            [](uint8_t b) { return b == 0; }));

    auto content = [&](const std::string& name) -> const Bytes& {
        for (const Member& m : members) {
            if (m.name == name) return m.content;
        }
        throw std::runtime_error("no member " + name);
    };
    // Each checksum text directly under fw-update/ holds the CRC-32 of the member it extends.
    for (const char* covered : {"bootfix.bin", "vpu3-boot601.dtb", "vpu3-boot602.dtb", "vpu3.lz4", "zImage"}) {
        const std::string name = std::string("fw-update/") + covered;
        SCOPED_TRACE(name);
        const Bytes& text = content(name + ".crc");
        EXPECT_EQ(crcOf(content(name)), std::string(text.begin(), text.end()));
    }
    for (const char* packet : {"Launcher", "1", "reset", "2"}) {
        EXPECT_TRUE(isChecksumText(content(psoc + packet + ".pkt.crc"))) << packet;
    }
    const Bytes dtbMagic{0xD0, 0x0D, 0xFE, 0xED};
    const Bytes lz4Magic{0x04, 0x22, 0x4D, 0x18};
    auto head = [&](const std::string& name) { return Bytes(content(name).begin(), content(name).begin() + 4); };
    EXPECT_EQ(dtbMagic, head("fw-update/vpu3-boot601.dtb"));
    EXPECT_EQ(dtbMagic, head("fw-update/vpu3-boot602.dtb"));
    EXPECT_EQ(lz4Magic, head("fw-update/vpu3.lz4"));
    for (const char* packet : {"Launcher", "1", "reset", "2"}) {
        EXPECT_EQ(lz4Magic, head(psoc + packet + ".pkt.lz4")) << packet;
    }
    const Bytes& versionText = content("fw-update/psoc/version.txt");
    EXPECT_EQ("1.0.0\n", std::string(versionText.begin(), versionText.end()));
}

TEST(FirmwareVersion, ReadFromTheTrailer) {
    EXPECT_EQ(v(1, 0, 0), zfu::embeddedFirmwareVersion());
    EXPECT_EQ("1.0.0", zfu::versionToString(zfu::embeddedFirmwareVersion()));

    // The patch takes the twelve bits from bit 8: 2 on top, 3 below.
    const Bytes word{0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(v(1, 2, 515), zfu::firmwareVersionFromPackage(word));
    // Only the last four bytes count.
    const Bytes longer{0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x09, 0xFF};
    EXPECT_EQ(v(0xFF, 9, 0x900), zfu::firmwareVersionFromPackage(longer));
}

TEST(FirmwareVersion, APackageShorterThanItsTrailerThrows) {
    for (const Bytes& tooShort : {Bytes{1, 2, 3}, Bytes{}}) {
        try {
            zfu::firmwareVersionFromPackage(tooShort);
            ADD_FAILURE() << "expected a throw for " << tooShort.size() << " bytes";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("Embedded firmware data too small to unpack version!", e.what());
        }
    }
    EXPECT_EQ(v(0, 0, 0), zfu::firmwareVersionFromPackage(Bytes{0, 0, 0, 0}));
}

TEST(VersionNumber, OrdersByMajorMinorPatchAsNumbers) {
    EXPECT_LT(v(0, 9, 7), v(0, 10, 0));
    EXPECT_LT(v(0, 99, 99), v(1, 0, 0));
    EXPECT_LT(v(1, 0, 0), v(1, 0, 1));
    EXPECT_LT(v(1, 9, 9), v(2, 0, 0));
    EXPECT_GT(v(0, 0, 0xFFFFFFFFu), v(0, 0, 1));  // unsigned, not signed
    EXPECT_GT(v(0xFFFFFFFFu, 0, 0), v(1, 0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_EQ(v(1, 2, 3), v(1, 2, 3));
    EXPECT_NE(v(1, 2, 3), v(3, 2, 1));
    EXPECT_FALSE(v(1, 2, 3) < v(1, 2, 3));
}

TEST(VersionNumber, TextIsMajorMinorPatch) {
    EXPECT_EQ("0.9.7", zfu::versionToString(v(0, 9, 7)));
    EXPECT_EQ("1.2.515", zfu::versionToString(v(1, 2, 515)));
    EXPECT_EQ("4294967295.4294967295.4294967295",
              zfu::versionToString(v(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu)));
}

TEST(SdkVersions, TableRowsInReleaseOrder) {
    std::vector<std::string> rows;
    for (const zfu::FirmwareVersionRow& row : zfu::firmwareVersionTable) {
        rows.push_back(zfu::versionToString(row.sdk) + " " + zfu::versionToString(row.firmware));
    }
    EXPECT_EQ((std::vector<std::string>{"0.6.0 0.9.2", "0.6.1 0.9.3", "0.7.0 0.9.4", "0.7.1 0.9.6", "0.7.2 0.9.7",
                                        "0.7.3 0.9.7", "0.8.0 1.0.0"}),
              rows);
}

TEST(SdkVersions, EachFirmwareMapsToItsLatestSdk) {
    const std::vector<std::pair<zfu::VersionNumber, std::string>> expected{
        {v(0, 9, 2), "0.6.0"}, {v(0, 9, 3), "0.6.1"}, {v(0, 9, 4), "0.7.0"},
        {v(0, 9, 6), "0.7.1"}, {v(0, 9, 7), "0.7.3"}, {v(1, 0, 0), "0.8.0"},
    };
    for (const auto& [firmware, sdk] : expected) {
        const zfu::VersionNumber* found = zfu::compatibleSdkVersion(firmware);
        ASSERT_NE(nullptr, found) << zfu::versionToString(firmware);
        EXPECT_EQ(sdk, zfu::versionToString(*found));
    }
    for (const auto& unknown : {v(0, 9, 5), v(0, 9, 1), v(0, 8, 0), v(1, 0, 1), v(0, 7, 3)}) {
        EXPECT_EQ(nullptr, zfu::compatibleSdkVersion(unknown)) << zfu::versionToString(unknown);
    }
}

TEST(SdkVersions, ConcurrentFirstCallsShareOneMap) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const zfu::VersionNumber*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<size_t>(i)] = zfu::compatibleSdkVersion(v(1, 0, 0));
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_NE(nullptr, seen[0]);
    for (const zfu::VersionNumber* p : seen) EXPECT_EQ(seen[0], p);
    EXPECT_EQ(seen[0], zfu::compatibleSdkVersion(v(1, 0, 0)));
}

}  // namespace
