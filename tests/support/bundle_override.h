// Test support: points the driver's bundle at a resources directory for the life of the object,
// and restores the previous setting after.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qor::test {

class BundleOverride {
public:
    explicit BundleOverride(const std::filesystem::path &resources) {
        if (const char *old = std::getenv("QORVANTA_BUNDLE")) previous_ = old;
        setenv("QORVANTA_BUNDLE", resources.c_str(), 1);
    }
    ~BundleOverride() {
        if (previous_.empty())
            unsetenv("QORVANTA_BUNDLE");
        else
            setenv("QORVANTA_BUNDLE", previous_.c_str(), 1);
    }
    BundleOverride(const BundleOverride &) = delete;
    BundleOverride &operator=(const BundleOverride &) = delete;

private:
    std::string previous_;
};

// The repository's resources directory, which stands in for the installed bundle.
inline std::filesystem::path repositoryResources() {
    return std::filesystem::path(QORVANTA_SOURCE_DIR) / "resources";
}

} // namespace qor::test
