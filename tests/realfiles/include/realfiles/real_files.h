// Real PST files written by other software (Outlook and others), kept outside the repository in
// one folder that the build names (PELIMOOR_REAL_FIXTURES; see tests/realfiles/CMakeLists.txt).
//
// Usage, in a GoogleTest test:
//   REAL_FILE_OR_SKIP(path, "dist-list.pst");   // std::string path, or the test skips
// and in a Qt Test slot:
//   REAL_FILE_OR_QSKIP(path, "dist-list.pst");  // QString path, or the slot skips
//
// A missing file skips the test with one line that names the file and the folder and says how to
// point the build elsewhere. When the environment variable PELIMOOR_REQUIRE_REAL_FIXTURES is set
// to anything but "" or "0" (CI sets it), the same line fails the test instead, so that a run that
// must exercise the real files cannot pass by skipping them.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace realfiles {

inline std::string folder()
{
    return PELIMOOR_REAL_FIXTURES_DIR;
}

inline std::string path(std::string_view name)
{
    return folder() + "/" + std::string(name);
}

// Empty when `name` is a file of the folder; otherwise the line that says what is missing.
inline std::string missing(std::string_view name)
{
    std::error_code error;
    if (std::filesystem::is_regular_file(path(name), error)) {
        return {};
    }
    return "real PST file " + std::string(name) + " not found in " + folder() +
           " (configure with -DPELIMOOR_REAL_FIXTURES=DIR to point at the folder)";
}

inline bool required()
{
    const char* value = std::getenv("PELIMOOR_REQUIRE_REAL_FIXTURES");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

} // namespace realfiles

#define REAL_FILE_OR_SKIP(var, name)                                                                                   \
    const std::string var = realfiles::path(name);                                                                     \
    if (const std::string var##_missing = realfiles::missing(name); !var##_missing.empty()) {                          \
        if (realfiles::required()) {                                                                                   \
            FAIL() << var##_missing;                                                                                   \
        }                                                                                                              \
        GTEST_SKIP() << var##_missing;                                                                                 \
    }

#define REAL_FILE_OR_QSKIP(var, name)                                                                                  \
    const QString var = QString::fromStdString(realfiles::path(name));                                                 \
    if (const std::string var##_missing = realfiles::missing(name); !var##_missing.empty()) {                          \
        if (realfiles::required()) {                                                                                   \
            QFAIL(var##_missing.c_str());                                                                              \
        }                                                                                                              \
        QSKIP(var##_missing.c_str());                                                                                  \
    }
