// Where the engine tests find published vectors: the folder shared/vectors
// beside the checkout (../shared/vectors, or beside one of its parents for a
// work tree nested deeper), and the cryptography-vectors package installed
// in the project's virtual environment. A test whose vectors are absent is
// skipped with the reason, except under CI=true, where it fails.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velora::testing {

inline bool running_in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

// shared/vectors/<subdir> in the nearest parent of the source tree that has
// it; empty if none does.
inline std::filesystem::path shared_vectors(std::string_view subdir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::path dir = fs::path(VELORA_SOURCE_DIR).parent_path(); !dir.empty(); dir = dir.parent_path()) {
        const fs::path candidate = dir / "shared" / "vectors" / subdir;
        if (fs::is_directory(candidate, ec)) return candidate;
        if (dir == dir.root_path()) break;
    }
    return {};
}

// The cryptography_vectors package folder: VELORA_CRYPTOGRAPHY_VECTORS if
// set, else the one the configuring Python imports (VELORA_KAT_DIR, found by
// CMake), else the one in the source tree's .venv; empty if absent.
inline std::filesystem::path cryptography_vectors() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (const char* dir = std::getenv("VELORA_CRYPTOGRAPHY_VECTORS")) return fs::is_directory(dir, ec) ? dir : "";
#ifdef VELORA_KAT_DIR
    if (fs::is_directory(VELORA_KAT_DIR, ec)) return VELORA_KAT_DIR;
#endif
    const fs::path lib = fs::path(VELORA_SOURCE_DIR) / ".venv" / "lib";
    if (!fs::is_directory(lib, ec)) return {};
    for (const fs::directory_entry& python : fs::directory_iterator(lib, ec)) {
        const fs::path candidate = python.path() / "site-packages" / "cryptography_vectors";
        if (fs::is_directory(candidate, ec)) return candidate;
    }
    return {};
}

// The whole file, gunzipped when its name ends in ".gz". Throws if it cannot
// be read.
inline std::string read_vector_file(const std::filesystem::path& path) {
    if (path.extension() == ".gz") {
        gzFile f = gzopen(path.c_str(), "rb");
        if (f == nullptr) throw std::runtime_error("cannot open " + path.string());
        std::string out;
        char buf[1 << 16];
        int n;
        while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
        const bool ok = n == 0;
        gzclose(f);
        if (!ok) throw std::runtime_error("cannot gunzip " + path.string());
        return out;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::stringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

}  // namespace velora::testing

// In a test body or SetUp: declares `var`, the folder `finder` returns, or
// skips the test (fails it under CI=true) when there is none.
#define VELORA_NEED_VECTORS(var, finder, what)                                                    \
    const std::filesystem::path var = (finder);                                                   \
    if (var.empty()) {                                                                            \
        if (::velora::testing::running_in_ci()) FAIL() << (what) << " not found (required under CI=true)"; \
        GTEST_SKIP() << (what) << " not found (under CI=true this fails)";                      \
    }
