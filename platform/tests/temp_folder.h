// A fresh folder of a test's own under the system's temporary folder, removed
// with everything in it when the test ends. Plain C++, so that the same tests
// build for Linux and Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zarn::testing {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "zarn") {
        std::random_device device;
        std::mt19937_64 random(
            (static_cast<uint64_t>(device()) << 32) ^
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 64; ++attempt) {
            std::filesystem::path candidate = base / (prefix + "-" + std::to_string(random()));
            // Creation is the claim: a folder that already exists belongs to someone else.
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate;
                return;
            }
        }
        throw std::runtime_error("no fresh temporary folder under " + base.string());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace zarn::testing
