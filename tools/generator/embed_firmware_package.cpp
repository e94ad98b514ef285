// Build step: writes the release firmware package as a C++ header and source
// so that the updater carries it in its read-only data and needs no files at
// run time. Usage: embed_firmware_package <header path> <source path>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "tools/firmware_package_builder.h"

namespace {

// The bytes as one string literal, cut into lines. Every byte that is not a
// plain printable character is a three-digit octal escape, so no escape can
// swallow the character after it. The literal's closing NUL is one byte
// beyond the package and is not part of it.
void writeLiteral(std::ofstream& out, const std::vector<uint8_t>& bytes) {
    constexpr size_t kBytesPerLine = 64;
    for (size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
        out << "    \"";
        for (size_t i = at; i < bytes.size() && i < at + kBytesPerLine; ++i) {
            const uint8_t b = bytes[i];
            if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\' && b != '?') {
                out << static_cast<char>(b);
            } else {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\%03o", b);
                out << escape;
            }
        }
        out << "\"\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <header> <source>\n", argc > 0 ? argv[0] : "embed_firmware_package");
        return 2;
    }
    try {
        const std::vector<uint8_t> package = ztools::buildReleaseFirmwarePackage();
        {
            std::ofstream header(argv[1], std::ios::binary | std::ios::trunc);
            header << "// Generated at build time: the release firmware package.\n"
                      "#pragma once\n#include <cstddef>\n\n"
                      "namespace ZarnFirmwareUpdater::generated {\n"
                      "inline constexpr std::size_t firmwarePackageSize = "
                   << package.size()
                   << "u;\n"
                      "extern const unsigned char firmwarePackageBytes[firmwarePackageSize + 1];\n"
                      "}  // namespace ZarnFirmwareUpdater::generated\n";
            if (!header.flush()) throw std::runtime_error(std::string("cannot write ") + argv[1]);
        }
        {
            std::ofstream source(argv[2], std::ios::binary | std::ios::trunc);
            source << "// Generated at build time: the release firmware package.\n"
                      "#include \"tools/embedded_firmware_package_data.h\"\n\n"
                      "namespace ZarnFirmwareUpdater::generated {\n"
                      "alignas(16) const unsigned char firmwarePackageBytes[firmwarePackageSize + 1] =\n";
            writeLiteral(source, package);
            source << "    ;\n}  // namespace ZarnFirmwareUpdater::generated\n";
            if (!source.flush()) throw std::runtime_error(std::string("cannot write ") + argv[2]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "embed_firmware_package: %s\n", e.what());
        return 1;
    }
    return 0;
}
