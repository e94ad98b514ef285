#include "tools/firmware_package_builder.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct ReaderFree {
    void operator()(struct archive* a) const { archive_read_free(a); }
};

// Member names and contents as libarchive reads them back.
std::vector<std::pair<std::string, Bytes>> readBack(const Bytes& tar) {
    std::unique_ptr<struct archive, ReaderFree> reader(archive_read_new());
    archive_read_support_format_tar(reader.get());
    EXPECT_EQ(ARCHIVE_OK, archive_read_open_memory(reader.get(), tar.data(), tar.size()));
    std::vector<std::pair<std::string, Bytes>> members;
    struct archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        Bytes content(static_cast<size_t>(archive_entry_size(entry)));
        if (!content.empty()) {
            EXPECT_EQ(static_cast<la_ssize_t>(content.size()),
                      archive_read_data(reader.get(), content.data(), content.size()));
        }
        members.emplace_back(archive_entry_pathname(entry), std::move(content));
    }
    return members;
}

TEST(TarArchive, MembersComeBackInOrderPaddedToWholeRecords) {
    const Bytes big(10240 * 2 + 1, 0x5A);
    const Bytes tar = ztools::buildTarArchive({{"a/empty", {}}, {"a/one", {1}}, {"b/big", big, 0775}});
    EXPECT_EQ(0u, tar.size() % ztools::kTarRecordBytes);
    // Three headers, 1 + 41 data blocks, two end blocks: 47 blocks in 3 records.
    EXPECT_EQ(3 * ztools::kTarRecordBytes, tar.size());
    const auto members = readBack(tar);
    ASSERT_EQ(3u, members.size());
    EXPECT_EQ("a/empty", members[0].first);
    EXPECT_TRUE(members[0].second.empty());
    EXPECT_EQ(Bytes{1}, members[1].second);
    EXPECT_EQ(big, members[2].second);
    EXPECT_EQ(0, std::memcmp(&tar[257], "ustar  \0", 8));
    // The third header (after a header, a header and one data block) holds mode 0775.
    EXPECT_EQ("0000775", std::string(reinterpret_cast<const char*>(&tar[3 * 512 + 100]), 7));
}

TEST(TarArchive, MemberDataOffsetPointsAtTheMembersBytes) {
    const Bytes first(700, 0x11);
    const Bytes second{'h', 'e', 'l', 'l', 'o'};
    const Bytes tar = ztools::buildTarArchive({{"first", first}, {"second", second}});
    EXPECT_EQ(512u, ztools::tarMemberDataOffset(tar, "first"));
    const size_t at = ztools::tarMemberDataOffset(tar, "second");
    ASSERT_EQ(512u + 1024u + 512u, at);
    EXPECT_EQ(0, std::memcmp(&tar[at], second.data(), second.size()));
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(tar, "third"));
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(tar, "secon"));
}

TEST(TarArchive, MemberDataOffsetStaysInsideDamagedArchives) {
    const Bytes tar = ztools::buildTarArchive({{"first", Bytes(700, 1)}, {"second", Bytes(5, 2)}});
    // Cut inside the first member's data: the second header is gone.
    const Bytes cut(tar.begin(), tar.begin() + 1000);
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(cut, "second"));
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(Bytes(100, 'x'), "x"));
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(Bytes{}, "first"));
    // A size field that claims more than the archive holds ends the walk.
    Bytes huge = tar;
    std::memcpy(&huge[124], "77777777777", 11);
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(huge, "second"));
    // So does one that is no number at all.
    Bytes garbage = tar;
    std::memcpy(&garbage[124], "zzzzzzzzzzz", 11);
    EXPECT_EQ(0u, ztools::tarMemberDataOffset(garbage, "second"));
}

TEST(FirmwareArchive, ScaledArchivesHaveTheReleaseMembersInOrderWithVerifyingChecksums) {
    const Bytes release = ztools::buildFirmwareArchive(ztools::scaledFirmwareSizes(0));
    const auto members = readBack(release);
    const std::vector<std::string> names{
        "fw-update/bootfix.bin",
        "fw-update/vpu3-boot601.dtb",
        "fw-update/vpu3-boot602.dtb",
        "fw-update/vpu3.lz4",
        "fw-update/zImage",
        "fw-update/bootfix.bin.crc",
        "fw-update/vpu3-boot601.dtb.crc",
        "fw-update/vpu3-boot602.dtb.crc",
        "fw-update/vpu3.lz4.crc",
        "fw-update/zImage.crc",
        "fw-update/psoc/100F11A0/Launcher.pkt.lz4",
        "fw-update/psoc/100F11A0/Launcher.pkt.crc",
        "fw-update/psoc/100F11A0/1.pkt.lz4",
        "fw-update/psoc/100F11A0/1.pkt.crc",
        "fw-update/psoc/100F11A0/reset.pkt.lz4",
        "fw-update/psoc/100F11A0/reset.pkt.crc",
        "fw-update/psoc/100F11A0/2.pkt.lz4",
        "fw-update/psoc/100F11A0/2.pkt.crc",
        "fw-update/psoc/version.txt",
    };
    ASSERT_EQ(names.size(), members.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], members[i].first);
    // The smallest archive still has room for every file.
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_LT(4u, members[i].second.size()) << names[i];
        EXPECT_EQ(ztools::crcText(members[i].second), members[i + 5].second) << names[i];
    }
    EXPECT_EQ(27u, members[14].second.size());
}

}  // namespace
